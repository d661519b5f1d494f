#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <string>

// What every fuzz target shares: a property that does not hold is a finding, reported
// like a sanitizer's, so that libFuzzer keeps the input that broke it. Linking this also
// drops Qt's debug, info and warning messages for the whole run (a decoder that warns
// about every bad input would spend the run writing to the terminal); critical and
// fatal ones stay.
namespace FuzzSupport {

// Prints the property with the detail and aborts when the condition is false.
void require(bool condition, const char *property, const std::string &detail = std::string());

// The bytes with control characters, bytes above 126 and backslashes written as \xNN
// (newlines kept), for a report that shows what the daemon would get.
std::string printable(const std::string &bytes);

// The input bytes as a string, or as a byte array.
std::string text(const std::uint8_t *data, std::size_t size);
QByteArray bytes(const std::uint8_t *data, std::size_t size);

} // namespace FuzzSupport
