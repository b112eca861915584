// Helpers shared by the parts of the FTP client; not for other layers.
#pragma once

#include "ftp/Ftpcli.h"

#include <cstdint>
#include <exception>
#include <string>

// Step numbers of a request: bit positions in the pending-step set.
enum FtpStep : int {
    StepOpen = 1,
    StepUser = 2,
    StepPass = 3,
    StepCwd = 4,
    StepSize = 5,
    StepMkd = 6,
    StepRmd = 7,
    StepRnfr = 8,
    StepRnto = 9,
    StepRetr = 10,
    StepList = 11,
    StepQuit = 12,
    StepSyst = 13,
    StepDele = 14,
    StepPwd = 15,
    StepQuote = 16,
    StepStor = 17,
    StepType = 18,
    StepRest = 19,
    StepCdup = 20,
    StepNlst = 21,
    StepAppe = 22,
    StepPort = 23,
    // The TLS steps of a log-in, run only when the session is secured:
    // AUTH TLS (explicit TLS) before USER, PBSZ and PROT after the log-in.
    StepAuth = 24,
    StepPbsz = 25,
    StepProt = 26,
};

constexpr std::uint32_t StepBit(int step)
{
    return 1u << step;
}

// What a reply says about the command it answers, from its first digit.
enum class FtpReplyClass : std::uint8_t {
    Preliminary,      // 1xx: another reply follows
    Completion,       // 2xx: done
    Intermediate,     // 3xx: the server waits for a further command
    TransientFailure, // 4xx
    PermanentFailure, // 5xx and any larger number
    Unknown,          // no reply code, or one the awaited reply does not take
};
// The class of reply code while awaited is awaited. The greeting takes
// only 220, a transfer's opening only 125 and 150, the end of a retrieve
// only 125, 226 and 250, the end of a store only 226 and 250: any other
// code there is Unknown. Other replies are classed by their first digit.
[[nodiscard]] FtpReplyClass FtpClassOfReply(TFtpAwaitedReply awaited, int code);

// Skips blanks, an optional sign, then reads decimal digits. Returns the
// first character after the number.
[[nodiscard]] const char* FtpParseNumber(const char* p, std::int64_t& value);
[[nodiscard]] const char* FtpParseNumber(const char* p, int& value);
// The quoted string at p (after blanks), "" standing for one quote; empty
// when p does not start with a quote.
[[nodiscard]] std::string FtpQuotedString(const char* p);
// "<exception class>: <message>" for the "500 ..." style texts.
std::string FtpExceptionText(const std::exception& e);
// "<socket error text> (Winsock error #<code>)".
std::string FtpSocketErrorText(int error);
// Reply assembly, shared by every path that reads the control connection.
// Looks for the end of the first line in buf[0..len): with acceptLF a LF
// alone ends it, otherwise only CR LF does. On success the line (without
// its trailing CR and LF characters) is in line and consumed is the number
// of bytes it took, line end included; false while the line is incomplete.
[[nodiscard]] bool FtpCutReplyLine(const char* buf, int len, bool acceptLF, std::string& line, int& consumed);
// Whether line ends a reply: it starts with a digit and its number is not
// followed by "-" (RFC 959: "NNN-" opens a multi-line reply, which ends at
// the first line with a number not followed by "-"). code gets the number
// of any line that starts with a digit.
[[nodiscard]] bool FtpReplyLineEnds(const std::string& line, int& code);
// The port of a 227 reply "... (h1,h2,h3,h4,p1,p2)"; false when the reply
// names no usable port.
[[nodiscard]] bool FtpPasvPort(const std::string& reply, std::uint16_t& port);
// The port of a 229 reply "... (|||port|)" (any printable delimiter but a
// digit, the same one throughout); false when the reply is not of that form
// or names no usable port.
[[nodiscard]] bool FtpEpsvPort(const std::string& reply, std::uint16_t& port);
