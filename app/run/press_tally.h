#pragma once
// What reached the adapter, exposure by exposure. The press that starts an
// exposure can fail (the adapter unplugged, without power): that exposure is
// not taken, its progress lines say so, and the summary counts only the
// exposures whose press reached the adapter.

#include <QString>

namespace tavrel::run {

class PressTally {
public:
    // Right after the press that starts an exposure; the line to print.
    QString started(const QString &label, int seconds);
    // At the end of that exposure (`completed`: it ran its full length); the
    // line to print.
    QString ended(const QString &label, bool completed);

    int taken() const { return m_taken; }
    // " ; 2 déclenchements non reçus par l'adaptateur", or nothing.
    QString failures() const;

private:
    bool m_reached = true;
    int m_taken = 0;
    int m_failed = 0;
};

} // namespace tavrel::run
