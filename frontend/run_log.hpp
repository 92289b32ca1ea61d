// What a run leaves for support: one JSON line per device, appended to a log the user names
// (kavori-flash --log FILE) and to the history both front ends keep.
#pragma once

#include <QByteArray>
#include <cstddef>
#include <optional>
#include <string>

namespace kavori::frontend {

// The history keeps this many lines, the newest last.
inline constexpr std::size_t kHistoryLines = 1000;

// $XDG_STATE_HOME/kavori/history.jsonl, or ~/.local/state/kavori/history.jsonl when the variable
// is unset or not absolute; empty when neither can be told.
std::string HistoryPath();

// Appends `line` ('\n' included) to `path`, creating the file. The reason when it cannot.
std::optional<std::string> AppendLine(const std::string& path, const QByteArray& line);

// Appends `line` to the history at `path`, creating its folder, and keeps its last
// kHistoryLines lines; the file is replaced whole, so a reader never sees half of it. The reason
// when it cannot.
std::optional<std::string> AppendToHistory(const std::string& path, const QByteArray& line);

// The history's lines; empty when there is none yet. The reason when it cannot be read.
std::optional<std::string> ReadHistory(const std::string& path, QByteArray& lines);

}  // namespace kavori::frontend
