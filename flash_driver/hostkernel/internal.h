// Shared between the host kernel layer's own files.
#ifndef TESSARO_HOSTKERNEL_INTERNAL_H
#define TESSARO_HOSTKERNEL_INTERNAL_H

#include <cstdint>

namespace hostkernel {
// One bus or clock access: costs kPollCostUs of virtual time.
void poll_tick();
void reset_io();
void reset_clock();
void reset_memory_and_log();
void reset_block_layer();
void reset_proc();
} // namespace hostkernel

#endif
