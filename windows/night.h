#pragma once
// Night vision: every window of the program red on black, so a look at the
// laptop does not spoil the eyes' adaptation to the dark. One switch for the
// whole program (the application's palette and style sheet), remembered in
// the settings file under [Affichage] Nuit=1/0.

#include <QColor>

class QImage;
class QMainWindow;
class QMessageBox;

namespace tavrel {

inline constexpr const char *kNightActionName = "Vision_Nuit";
// The connection square at night: attached, and missing (hatched).
inline const QColor kNightDim{110, 0, 0};
inline const QColor kNightBright{255, 0, 0};

bool nightVision();
// Switches the whole program, ticks the entry of every mode window and
// stores the choice.
void setNightVision(bool on);
// Takes the stored choice (absent: day); nothing is written.
void loadNightVision();

// Adds the "Vision de nuit" check entry to the window's "Run" menu.
void addNightEntry(QMainWindow *window);

// A colour as the night shows it: pure reds stay, anything else becomes a
// red no brighter than a dim one, by its lightness.
QColor nightColor(const QColor &color);
// The same for every pixel of an image (a message box's icon), the
// brightest red being `brightest`.
QImage nightImage(const QImage &image, int brightest = 170);
// A box's icon redrawn in red when the night is on.
void nightIcon(QMessageBox *box);

} // namespace tavrel
