#include "fuzztargets.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    return fuzz::stopOnFault(fuzz::standardWave(reinterpret_cast<const char *>(data), size));
}
