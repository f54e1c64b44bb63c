// libFuzzer entry point of the config target; the harness and its checks are in config_harness.h.
#include "config_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quarel::fuzz::run_config_input(data, size);
    return 0;
}
