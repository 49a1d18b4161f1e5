// tessaro: the NAND flash disk driver module.

extern "C" int init_module()
{
    return 0;
}

extern "C" void cleanup_module()
{
}
