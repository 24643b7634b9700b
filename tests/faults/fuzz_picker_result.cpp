// libFuzzer over the folder picker's result encoding: every input is a chosen path's bytes.
#include "picker_roundtrip.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray path(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const QString fault = pickerRoundTripFault(path); !fault.isEmpty())
        qFatal("%s for %s", qPrintable(fault), path.toHex().constData());
    return 0;
}
