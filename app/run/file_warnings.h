#pragma once
// What a hand-written scenario file deserves a word about before the night,
// even where the runner would accept it: lines that do not hold exactly five
// fields (every later step shifts), a comment cut in two by an unquoted
// comma, chain files missing now, a chain named in the end step (never
// followed). Each warning names the file and the line.

#include <QStringList>

namespace tavrel::run {

// The warnings for `path` and every scenario file it chains to.
QStringList fileWarnings(const QString &path);

} // namespace tavrel::run
