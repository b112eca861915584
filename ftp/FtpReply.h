// Reply handling that needs no connection: classing reply codes, reading
// numbers and quoted strings, cutting input into reply lines, and the ports
// of PASV and EPSV replies. Not for other layers.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The reply the control connection waits for: it decides which handler
// reads the next complete reply and how its code is read.
enum class TFtpAwaitedReply : std::uint8_t {
    None,          // nothing: a reply is shown and otherwise ignored
    Greeting,      // the server's welcome after the connect
    Command,       // the reply to a single command, checked against its accepted codes
    Quit,          // the reply to QUIT; the close that follows completes the request
    RetrieveStart, // the transfer opening (125/150) of RETR, LIST or NLST
    RetrieveEnd,   // the final reply of a retrieve
    StoreStart,    // the transfer opening (125/150) of STOR or APPE
    StoreEnd,      // the final reply of a store
    AuthTls,       // the reply to AUTH TLS: on 234 the TLS handshake follows
};
const char* ToString(TFtpAwaitedReply awaited);

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
