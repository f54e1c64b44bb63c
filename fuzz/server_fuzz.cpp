// libFuzzer entry point of the server target; the harness and the input layout are in server_harness.h.
#include "server_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quarel::fuzz::run_server_input(data, size);
    return 0;
}
