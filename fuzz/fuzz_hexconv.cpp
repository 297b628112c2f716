// The hex text conversions (String2Hex, Count, ConvertHexChar) on arbitrary text, held to the plain
// restatement of their rules in reference.h.

#include "fuzzsupport.h"
#include "reference.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::access();
    // Every char value once: the digit rule has no input the run could miss.
    for (int code = -128; code < 128; ++code) {
        const char ch = static_cast<char>(code);
        const int expected = reference::hexDigit(static_cast<unsigned char>(ch));
        FUZZ_CHECK(fuzz::access().ConvertHexChar(ch) == expected, "ConvertHexChar(%d) gave %d, expected %d", code,
                   int(fuzz::access().ConvertHexChar(ch)), expected);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MainWindowTestAccess &w = fuzz::access();
    const QByteArray raw = fuzz::bytesOf(data, size);

    for (const char ch : raw) {
        const int expected = reference::hexDigit(static_cast<unsigned char>(ch));
        FUZZ_CHECK(w.ConvertHexChar(ch) == expected, "ConvertHexChar(0x%02x) gave %d, expected %d",
                   static_cast<unsigned char>(ch), int(w.ConvertHexChar(ch)), expected);
    }

    for (const QString &text : fuzz::textsOf(raw)) {
        const QByteArray expected = reference::string2Hex(text);
        // The target array holds other bytes first: the call must replace them, not add to them.
        const QByteArray decoded = w.String2Hex(text, raw + "stale");
        FUZZ_CHECK(decoded == expected, "String2Hex of [%s]\n  gave     [%s]\n  expected [%s]",
                   fuzz::dump(text).constData(), fuzz::dump(decoded).constData(), fuzz::dump(expected).constData());
        FUZZ_CHECK(w.String2Hex(text) == expected, "String2Hex into an empty array differs for [%s]",
                   fuzz::dump(text).constData());

        const int count = w.Count(text);
        const int expectedCount = reference::count(text);
        FUZZ_CHECK(count == expectedCount, "Count of [%s] gave %d, expected %d", fuzz::dump(text).constData(), count,
                   expectedCount);
    }
    return 0;
}
