#include "link/connection.h"

#include "link/messages.h"
#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"

#include <algorithm>
#include <limits>

namespace tavrel {

namespace {

bool g_noticeGiven = false;
// Why the last check found the adapter not ready: what a refused run says.
QString g_notReadyReason;

// The serial or the description of the chip of rank `index`; empty when the
// call fails.
QString listedText(std::uint32_t index, std::uint32_t which)
{
    char text[FT_DESCRIPTION_BUFFER] = {};
    SharedValues &v = shared();
    v.LastStatus = adapter().FT_ListDevices(listIndex(index), text, FT_LIST_BY_INDEX | which);
    return v.LastStatus == FT_OK ? QString::fromLatin1(text) : QString();
}

// The rank of the chip carrying `serial`, the rank it had last time tried
// first (one call per tick while nothing moves); -1 when it is not there.
std::int32_t rankOfSerial(const QString &serial, std::uint32_t count, std::int32_t hint)
{
    if (hint >= 0 && std::uint32_t(hint) < count && listedText(std::uint32_t(hint), FT_OPEN_BY_SERIAL_NUMBER) == serial)
        return hint;
    for (std::uint32_t i = 0; i < count; ++i)
        if (std::int32_t(i) != hint && listedText(i, FT_OPEN_BY_SERIAL_NUMBER) == serial)
            return std::int32_t(i);
    return -1;
}

// Why OpenDevice did not get through, with what to do about it.
QString setUpFailure()
{
    const SharedValues &v = shared();
    QString why;
    if (v.SetupFailedCall == QLatin1String("FT_Open") && v.SetupFailedStatus == FT_DEVICE_NOT_OPENED) {
        ChipDetails chip;
        const bool described = adapter().describeChip(v.DeviceIndex, &chip) == FT_OK;
        why = described && !chip.accessible
                  ? QStringLiteral("droits d'accès USB manquants : installez la règle udev "
                                   "60-tavrel-adapter.rules (voir le README), puis débranchez et rebranchez "
                                   "l'adaptateur")
                  : QStringLiteral("la puce est déjà utilisée par un autre programme (ou par un autre Tavrel)");
    } else if (v.SetupFailedCall == QLatin1String("FT_Open")) {
        why = QStringLiteral("la puce n'a pas pu être ouverte");
    } else {
        why = QStringLiteral("la puce ne répond pas (câble mal branché, ou adaptateur défaillant)");
    }
    return QStringLiteral("L'adaptateur n° %1 est branché mais n'a pas pu être réglé (%2 : statut %3) : %4.")
        .arg(v.DeviceIndex)
        .arg(v.SetupFailedCall)
        .arg(v.SetupFailedStatus)
        .arg(why);
}

// Only given when several chips are attached.
QString choiceNotice()
{
    const SharedValues &v = shared();
    const auto rank = std::uint32_t(v.DeviceIndex);
    const QString serial = listedText(rank, FT_OPEN_BY_SERIAL_NUMBER);
    const QString description = listedText(rank, FT_OPEN_BY_DESCRIPTION);
    return QStringLiteral("%1 puces FTDI sont branchées ; Tavrel a ouvert celle de rang %2 (réglage FDTINo), numéro de série « %3 », « %4 ». "
                          "Si ce n'est pas l'adaptateur de déclenchement (le câble d'une monture ou d'un "
                          "focuser passerait alors en mode bit-bang), ou pour ne plus dépendre de l'ordre des "
                          "câbles, ajoutez FDTISerial=<numéro de série de l'adaptateur> à la section [FDTI] de %5 "
                          "(tavrel-run --list-adapters montre chaque puce), puis relancez Tavrel.")
        .arg(v.DeviceCount)
        .arg(rank)
        .arg(serial, description, settingsFilePath());
}

LinkCheck checkOnce()
{
    SharedValues &v = shared();
    LinkCheck check;
    v.LastStatus = adapter().FT_ListDevices(&v.DeviceCount, nullptr, FT_LIST_NUMBER_ONLY);
    traceLink(QStringLiteral("List: %1 nb %2").arg(v.LastStatus).arg(v.DeviceCount));
    const auto missing = [&](LinkState state, const QString &reason) {
        adapterGone();
        check.state = state;
        check.reason = reason;
        return check;
    };
    if (v.LastStatus != FT_OK)
        return missing(LinkState::Missing,
                       QStringLiteral("La liste des puces FTDI n'a pas pu être lue (statut %1).").arg(v.LastStatus));
    if (v.DeviceCount == 0)
        return missing(LinkState::Missing, QStringLiteral("Aucun adaptateur FTDI n'est branché."));

    if (!v.DeviceSerialText.isEmpty()) {
        // By serial, wherever the chip sits: the others may be a mount's or
        // a focuser's cable, which bit-bang mode would cut off.
        const std::int32_t rank = rankOfSerial(v.DeviceSerialText, v.DeviceCount, v.DeviceIndex);
        if (rank < 0)
            return missing(LinkState::Missing,
                           QStringLiteral("L'adaptateur de numéro de série « %1 » (réglage FDTISerial) n'est pas "
                                          "branché ; %2.")
                               .arg(visibleText(v.DeviceSerialText),
                                    v.DeviceCount == 1
                                        ? QStringLiteral("la seule puce FTDI branchée n'est pas lui")
                                        : QStringLiteral("aucune des %1 puces FTDI branchées n'est lui")
                                              .arg(v.DeviceCount)));
        v.DeviceIndex = rank;
    } else if (v.DeviceIndex < 0) {
        return missing(LinkState::Unusable,
                       QStringLiteral("Le réglage FDTINo=%1 de %2 n'est pas un nombre entier : aucun adaptateur "
                                      "n'est ouvert tant qu'il n'est pas corrigé.")
                           .arg(visibleText(v.DeviceIndexText), settingsFilePath()));
    } else if (std::uint32_t(v.DeviceIndex) >= v.DeviceCount) {
        return missing(LinkState::Missing,
                       QStringLiteral("Le réglage FDTINo=%1 demande la puce FTDI de rang %1 (en comptant à partir "
                                      "de 0), mais %2.")
                           .arg(v.DeviceIndex)
                           .arg(v.DeviceCount == 1 ? QStringLiteral("une seule est branchée")
                                                   : QStringLiteral("%1 seulement sont branchées").arg(v.DeviceCount)));
    }

    if (v.DeviceOpen != -1) {
        OpenDevice();
        if (v.DeviceOpen != -1) {
            check.state = LinkState::Unusable;
            check.reason = setUpFailure();
            return check;
        }
        if (v.DeviceCount > 1 && v.DeviceSerialText.isEmpty() && !g_noticeGiven) {
            g_noticeGiven = true;
            check.notice = choiceNotice();
        }
    }
    check.state = LinkState::Ready;
    check.reason = v.DeviceSerialText.isEmpty()
                       ? QStringLiteral("Adaptateur n° %1 ouvert et réglé.").arg(v.DeviceIndex)
                       : QStringLiteral("Adaptateur « %1 » (n° %2) ouvert et réglé.").arg(visibleText(v.DeviceSerialText)).arg(v.DeviceIndex);
    return check;
}

} // namespace

void resetConnectionNotice() { g_noticeGiven = false; }

LinkCheck checkConnection()
{
    LinkCheck check = checkOnce();
    g_notReadyReason = check.ready() ? QString() : check.reason;
    return check;
}

QString runRefusal()
{
    if (shared().DeviceOpen == -1)
        return QString();
    const QString why = g_notReadyReason.isEmpty() ? QStringLiteral("Il n'a pas encore été ouvert.") : g_notReadyReason;
    return QStringLiteral("La prise de vues ne commence pas : l'adaptateur n'est pas prêt (voyant rouge). %1 "
                          "Branchez ou réglez l'adaptateur, attendez le voyant vert, puis relancez.")
        .arg(why);
}

std::int32_t movedExposureClock(std::int32_t value, std::int64_t delta)
{
    const std::int64_t sum = std::int64_t(value) + delta;
    return std::int32_t(std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()));
}

} // namespace tavrel
