#pragma once
// --list-adapters: every FTDI chip attached, with what tells them apart (the
// serial above all), and the one the settings pick. A rig often carries a
// mount's, a focuser's or a GPS's USB-serial cable beside the release
// adapter; this is where the user finds the serial to pin in FDTISerial.
//
// Exit status: 0, or 2 when the chips cannot be listed at all.

namespace tavrel::run {

struct RunOptions;

int listAdapters(const RunOptions &options);

} // namespace tavrel::run
