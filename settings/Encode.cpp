#include "settings/Encode.h"

#include <algorithm>
#include <limits>

namespace {

// Decimal output of more than this many characters is not accepted as plain
// input: the text is cut to DecimalCut characters first.
constexpr std::size_t DecimalLimit = 64;
constexpr std::size_t DecimalCut = 63;

constexpr char DefaultKey[] = "KXMPV";

} // namespace

std::string EncodeDecimal(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size() * 4);
    for (unsigned char b : bytes) {
        out += '#';
        out += std::to_string(static_cast<unsigned>(b));
    }
    return out;
}

std::string DecodeDecimal(const std::string& text)
{
    std::string out;
    std::string run;
    auto flush = [&] {
        if (run.empty())
            return;
        std::int64_t value = 0;
        for (char c : run) {
            value = value * 10 + (c - '0');
            if (value > std::numeric_limits<std::int32_t>::max())
                throw EConvertError("'" + run + "' is not a valid integer value");
        }
        out += static_cast<char>(static_cast<unsigned char>(value & 0xFF));
        run.clear();
    };
    for (char c : text) {
        if (c >= '0' && c <= '9')
            run += c;
        else
            flush(); // any other character ends the run and is dropped
    }
    flush();
    return out;
}

TEncodeBaseClass::TEncodeBaseClass(QObject* AOwner) : QObject(AOwner), FKey(DefaultKey) { }

TEncodeBaseClass::~TEncodeBaseClass() = default;

void TEncodeBaseClass::SetMoveNumber(std::int32_t value)
{
    FMoveNumber = std::clamp(value, MinMove, MaxMove);
}

void TEncodeBaseClass::SetDecimalOut(bool value)
{
    FDecimalOut = value;
    if (FDecimalOut && FWorkText.size() > DecimalLimit)
        FWorkText.resize(DecimalCut);
}

void TEncodeBaseClass::StoreInput(const std::string& value)
{
    FLastText = value;
    FWorkText = value;
    if (FDecimalOut && FWorkText.size() > DecimalLimit && FWorkText.front() != '#')
        FWorkText.resize(DecimalCut);
}

std::string TEncodeBaseClass::Run()
{
    if (FWorkText.empty()) {
        FLastText.clear();
        return FWorkText;
    }
    bool wasDecimal = false;
    if (FDecimalOut && FWorkText.front() == '#') {
        FWorkText = DecodeDecimal(FWorkText);
        wasDecimal = true;
    }
    FTextLen = FWorkText.size();
    FBlockLen = FKey.size();

    // Only the first three characters of the sequence count; a digit may
    // repeat, and then its step runs again.
    for (std::size_t i = 0; i < 3 && i < FSequence.size(); ++i) {
        switch (FSequence[i]) {
        case '1':
            if (!FKey.empty())
                XorStep();
            break;
        case '2':
            if (FTurning)
                TurnStep();
            break;
        case '3':
            if (FMoveNumber != 0)
                MoveStep();
            break;
        default: break;
        }
    }
    if (FDecimalOut && !wasDecimal)
        FWorkText = EncodeDecimal(FWorkText);
    FLastText = FWorkText;
    return FWorkText;
}

void TEncodeBaseClass::XorStep()
{
    // The key repeats along the text from its first byte, block by block.
    for (std::size_t i = 0; i < FTextLen; ++i)
        FWorkText[i] = static_cast<char>(static_cast<unsigned char>(FWorkText[i]) ^
                                         static_cast<unsigned char>(FKey[i % FBlockLen]));
}

void TEncodeBaseClass::TurnStep()
{
    std::reverse(FWorkText.begin(), FWorkText.end());
}

void TEncodeBaseClass::MoveStep()
{
    // The wrap is by 255, not 256: stored passwords depend on it, and it keeps
    // zero bytes out of the result for small positive moves.
    for (auto& ch : FWorkText) {
        int v = static_cast<unsigned char>(ch) + FMoveNumber;
        if (v > 255)
            v -= 255;
        if (v < 0)
            v += 255;
        ch = static_cast<char>(static_cast<unsigned char>(v));
    }
}

Tencode::Tencode(QObject* AOwner) : TEncodeBaseClass(AOwner) { }

Tencode::~Tencode() = default;
