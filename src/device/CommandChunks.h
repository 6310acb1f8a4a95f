// Cutting a scan-code string into feature reports.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace vortal9 {

// Cuts a command string into the chunks that go out as one report each: the
// whole string when it has at most 15 characters, otherwise consecutive
// 14-character pieces from its start (the last one holds what remains).
// An empty text gives one empty chunk.
QStringList chunkCommand(const QString &text);

// The digit pairs of one chunk in order, as they are appended to a recording:
// n = round-half-to-even(length / 2) pairs; the last pair of an odd-length
// chunk with n*2 > length is its single final digit.
QStringList chunkPairs(const QString &chunk);

// Builds the report bytes for one chunk and a report of reportLength bytes
// (report ID byte included): byte 0 = 0, then one byte per pair, zero fill.
// nullopt when the chunk is empty, when a pair is not made of hexadecimal
// digits, or when there are more pairs than reportLength - 1 payload bytes.
std::optional<std::vector<std::uint8_t>> buildFeatureReport(const QString &chunk, int reportLength);

} // namespace vortal9
