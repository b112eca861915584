// The password scrambler: a small reversible byte scrambler for the saved
// passwords of the server profiles. It is not encryption: anyone holding the
// key and the settings can reverse it.
#pragma once

#include <QObject>

#include <cstdint>
#include <stdexcept>
#include <string>

// The string-to-integer conversion failure ("'%s' is not a valid integer
// value"), raised when a decimal run is too long for a 32-bit integer.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Holds the configuration and the algorithm. An owner given at
// construction frees it, as a parent object does; without one, whoever made
// it does (the settings load and save make one per use).
class TEncodeBaseClass : public QObject {
public:
    static constexpr int MaxMove = 100;
    static constexpr int MinMove = -100;

    explicit TEncodeBaseClass(QObject* AOwner = nullptr);
    ~TEncodeBaseClass() override;

    const std::string& Key() const { return FKey; }
    void SetKey(std::string value) { FKey = std::move(value); }

    bool Turning() const { return FTurning; }
    void SetTurning(bool value) { FTurning = value; }

    std::int32_t MoveNumber() const { return FMoveNumber; }
    void SetMoveNumber(std::int32_t value);

    bool DecimalOut() const { return FDecimalOut; }
    void SetDecimalOut(bool value);

    const std::string& Sequence() const { return FSequence; }
    void SetSequence(std::string value) { FSequence = std::move(value); }

protected:
    // Runs the configured steps over the working text and returns it.
    std::string Run();
    void StoreInput(const std::string& value);

    std::string FWorkText;
    std::string FLastText;

private:
    void XorStep();
    void TurnStep();
    void MoveStep();

    std::string FKey;
    bool FTurning = true;
    std::int32_t FMoveNumber = 10;
    bool FDecimalOut = true;
    std::string FSequence = "123";
    std::size_t FTextLen = 0;
    std::size_t FBlockLen = 0;
};

// Adds the TextInOut property: writing stores the input, reading runs the
// steps on the working text (again on every read) and returns the result.
class Tencode : public TEncodeBaseClass {
public:
    explicit Tencode(QObject* AOwner = nullptr);
    ~Tencode() override;

    std::string TextInOut() { return Run(); }
    void SetTextInOut(const std::string& value) { StoreInput(value); }
};

// Decimal form helpers, also used on their own by the tests.
std::string EncodeDecimal(const std::string& bytes);
// Throws EConvertError for a digit run that does not fit a 32-bit integer.
std::string DecodeDecimal(const std::string& text);
