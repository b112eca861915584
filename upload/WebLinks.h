// The web links of uploaded files: a profile's web address, the
// sub-directory a job sent into and the file's name, as a browser takes
// them. Plain bytes in and out; no widget, no network.
#pragma once

#include <string>

// The web address as the base of every link: blanks around it dropped,
// "https://" put in front when it names no scheme ("example.org/files"),
// and exactly one "/" at its end. Bytes a link cannot hold as they are
// (blanks, control bytes, bytes of 128 and above, " < > \ ^ ` { | }) are
// written as %XX; the rest, a % the user typed included, stays as typed.
// Empty when the address is empty: no links.
[[nodiscard]] std::string WebLinkBase(const std::string& webAddress);

// Every byte but the letters, digits and - . _ ~ of ASCII written as %XX
// (uppercase hex): one path segment of a link. A name that is not UTF-8
// keeps its own bytes.
[[nodiscard]] std::string PercentEncodeSegment(const std::string& bytes);

// The link of a file stored as `fileName` (its bytes on the server) in
// `directory` (the sub-directory of the job, empty for the log-in
// directory), below `base` (from WebLinkBase). The base stands for the
// log-in directory: the sub-directory is added below it part by part, a
// leading "/" dropped (on most hosting accounts the log-in directory is
// the server's root), empty parts and "." skipped, ".." going up a part
// (never above the base).
[[nodiscard]] std::string WebLink(const std::string& base, const std::string& directory, const std::string& fileName);
