// tessaro: the NAND flash disk driver module. Its entry points, init_module and cleanup_module, are
// the block device's (blockdev/flashd.cpp); the whole driver library is linked into the module.
