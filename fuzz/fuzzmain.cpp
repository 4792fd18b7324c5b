#include "fuzztargets.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// One fuzzer program per entry point, named by FUZZ_ENTRY. A fault is
// printed and aborts, so that libFuzzer keeps the input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString fault = fuzz::FUZZ_ENTRY(reinterpret_cast<const char *>(data), size);
    if (fault.isEmpty())
        return 0;
    std::fprintf(stderr, "==fault== %s\n", fault.toLocal8Bit().constData());
    std::abort();
}
