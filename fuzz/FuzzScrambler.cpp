// The password scrambler's decoder. The first byte picks the mode:
//   even: a saved password's way back, as the settings load runs it (key
//         "QZRW", Turning on, raw bytes): the input is scrambled with
//         "123"/6 and unscrambled with "321"/-6, which must give the input
//         back, except for a byte whose XOR with its key byte is 255 (that
//         one comes back as the key byte);
//   odd:  the decimal form: any text must decode (or fail with the
//         conversion error for an over-long number), and the decimal form of
//         any bytes must decode to those bytes; the remaining bits of the
//         first byte configure a run with DecimalOut on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "settings/Encode.h"

namespace {

std::string Run(Tencode& e, const char* sequence, int move, const std::string& in)
{
    e.SetSequence(sequence);
    e.SetMoveNumber(move);
    e.SetTextInOut(in);
    return e.TextInOut();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t mode = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    if ((mode & 1) == 0) {
        Tencode e;
        e.SetKey("QZRW");
        e.SetTurning(true);
        e.SetDecimalOut(false);
        const std::string stored = Run(e, "123", 6, text);
        if (stored.size() != text.size() || stored.find('\0') != std::string::npos)
            std::abort();
        const std::string back = Run(e, "321", -6, stored);
        if (back.size() != text.size())
            std::abort();
        static const char key[] = "QZRW";
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char k = key[i % 4];
            const char want = static_cast<unsigned char>(text[i] ^ k) == 255 ? k : text[i];
            if (back[i] != want)
                std::abort();
        }
        return 0;
    }

    // Decimal form of arbitrary bytes decodes to those bytes.
    if (DecodeDecimal(EncodeDecimal(text)) != text)
        std::abort();
    // Arbitrary text decodes, or fails with the conversion error.
    try {
        const std::string decoded = DecodeDecimal(text);
        if (decoded.size() > text.size())
            std::abort();
    } catch (const EConvertError&) { }
    // A configured run over the text: must not fail other than by the
    // conversion error, and an empty text stays empty.
    Tencode e;
    e.SetKey((mode & 2) ? std::string("QZRW") : std::string());
    e.SetTurning((mode & 4) != 0);
    e.SetDecimalOut(true);
    static const char* const sequences[] = {"123", "321", "", "3", "22", "1x3", "9", "213"};
    try {
        const std::string out = Run(e, sequences[(mode >> 3) & 7], static_cast<int>(mode >> 6) * 70 - 105, text);
        if (text.empty() && !out.empty())
            std::abort();
    } catch (const EConvertError&) { }
    return 0;
}
