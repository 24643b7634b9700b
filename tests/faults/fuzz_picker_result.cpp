// libFuzzer over the folder picker's result encoding: every input is a chosen path's bytes.
#include "picker_roundtrip.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray path(reinterpret_cast<const char*>(data), qsizetype(size));
    if (!pickerRoundTripHolds(path))
        qFatal("the picker's line does not read back as %s", path.toHex().constData());
    return 0;
}
