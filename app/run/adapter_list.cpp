#include "app/run/adapter_list.h"

#include "app/run/run_options.h"
#include "link/adapter_backend.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"

#include <QDir>
#include <cstdio>
#include <memory>
#include <optional>

namespace tavrel::run {

namespace {

void print(const QString &text) { std::printf("%s\n", text.toUtf8().constData()); }

QString describe(std::uint32_t rank, const ChipDetails &chip)
{
    const auto text = [](const std::string &s, const char *none) {
        return s.empty() ? QString::fromLatin1(none) : QString::fromStdString(s);
    };
    return QStringLiteral("rang %1 : série %2, « %3 », USB %4:%5, emplacement %6, pilote du noyau : %7%8")
        .arg(rank)
        .arg(text(chip.serial, "(aucune)"), text(chip.description, ""))
        .arg(chip.vendorId, 4, 16, QLatin1Char('0'))
        .arg(chip.productId, 4, 16, QLatin1Char('0'))
        .arg(text(chip.busPath, "?"), text(chip.kernelDriver, "aucun"),
             chip.accessible ? QString() : QStringLiteral(", accès refusé (règle udev manquante ?)"));
}

// udev reads a match as a shell pattern between quotes: a serial holding a
// quote, a backslash, a pattern character or a control byte cannot be
// matched as it is.
bool fitsUdevMatch(const QString &serial)
{
    if (serial.isEmpty())
        return false;
    for (const QChar c : serial) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e || QStringLiteral("\"\\*?[]|").contains(c))
            return false;
    }
    return true;
}

// The access rule for this one chip: the package's rule opens every FTDI
// chip of five kinds to the user at the seat, a mount's or a focuser's cable
// included; this one gives the release adapter alone.
void printChipRule(const ChipDetails &chip)
{
    const QString serial = QString::fromStdString(chip.serial);
    if (!fitsUdevMatch(serial)) {
        print(QStringLiteral("La puce choisie n'a pas de numéro de série utilisable dans une règle udev (« %1 ») : "
                             "la règle générale du paquet reste nécessaire.")
                  .arg(visibleText(serial)));
        return;
    }
    print(QStringLiteral("Pour ne donner accès qu'à cette puce, remplacez la règle générale par la ligne suivante, "
                         "enregistrée dans /etc/udev/rules.d/60-tavrel-adapter.rules (ce nom masque la règle du "
                         "paquet), puis : sudo udevadm control --reload-rules && sudo udevadm trigger, et rebranchez l'adaptateur."));
    print(QStringLiteral("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"%1\", "
                         "ATTR{idProduct}==\"%2\", ATTR{serial}==\"%3\", TAG+=\"uaccess\"")
              .arg(chip.vendorId, 4, 16, QLatin1Char('0'))
              .arg(chip.productId, 4, 16, QLatin1Char('0'))
              .arg(serial));
}

} // namespace

int listAdapters(const RunOptions &o)
{
    const AdapterBackend backend(o.simulate, o.simulatedChips, o.adapterLog);
    if (!backend.logError().isEmpty()) {
        showMessage(MessageKind::Error, QStringLiteral("impossible d'ouvrir le journal de l'adaptateur %1 : %2.")
                                            .arg(o.adapterLog, backend.logError()));
        return 2;
    }
    Adapter &chips = backend.adapter();

    LoadSettings();
    const SharedValues &v = shared();
    std::uint32_t count = 0;
    const FT_STATUS listed = chips.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    if (listed != FT_OK) {
        showMessage(MessageKind::Error,
                    QStringLiteral("les puces FTDI n'ont pas pu être listées (statut %1).").arg(listed));
        return 2;
    }
    print(count == 0 ? QStringLiteral("Aucune puce FTDI n'est branchée%1.")
                           .arg(o.simulate ? QStringLiteral(" (simulé)") : QString())
                     : QStringLiteral("%1 puce%2 FTDI branchée%2%3 :")
                           .arg(count)
                           .arg(count > 1 ? QStringLiteral("s") : QString())
                           .arg(o.simulate ? QStringLiteral(" (simulé)") : QString()));
    bool chosen = false;
    QString chosenSerial;
    std::optional<ChipDetails> chosenChip;
    for (std::uint32_t rank = 0; rank < count; ++rank) {
        ChipDetails chip;
        if (chips.describeChip(std::int32_t(rank), &chip) != FT_OK) {
            print(QStringLiteral("  rang %1 : débranchée pendant la liste").arg(rank));
            continue;
        }
        const QString serial = QString::fromStdString(chip.serial);
        const bool selected = v.DeviceSerialText.isEmpty() ? v.DeviceIndex == std::int32_t(rank)
                                                           : serial == v.DeviceSerialText;
        chosen = chosen || selected;
        if (selected) {
            chosenSerial = serial;
            chosenChip = chip;
        }
        print(QStringLiteral("  %1%2").arg(describe(rank, chip),
                                           selected ? (v.DeviceSerialText.isEmpty()
                                                           ? QStringLiteral("  <- choisie (FDTINo=%1)").arg(rank)
                                                           : QStringLiteral("  <- choisie (FDTISerial=%1)").arg(serial))
                                                    : QString()));
    }

    const QString settings = settingsFilePath();
    if (!v.DeviceSerialText.isEmpty() && !chosen)
        print(QStringLiteral("FDTISerial=%1 (%2) : aucune puce branchée ne porte ce numéro de série.")
                  .arg(visibleText(v.DeviceSerialText), settings));
    else if (v.DeviceSerialText.isEmpty() && v.DeviceIndex < 0)
        print(QStringLiteral("FDTINo=%1 (%2) n'est pas un nombre entier : aucune puce n'est choisie.")
                  .arg(visibleText(v.DeviceIndexText), settings));
    else if (v.DeviceSerialText.isEmpty() && !chosen && count > 0)
        print(QStringLiteral("FDTINo=%1 (%2) : il n'y a pas de puce de ce rang.").arg(v.DeviceIndex).arg(settings));
    // With one chip its serial is the example; with several, the user must
    // first tell which is the release adapter.
    if (v.DeviceSerialText.isEmpty() && count == 1)
        print(QStringLiteral("Pour désigner l'adaptateur de déclenchement par son numéro de série, ajoutez à la "
                             "section [FDTI] de %1 : FDTISerial=%2")
                  .arg(settings, chosenSerial.isEmpty() ? QStringLiteral("<série>") : chosenSerial));
    else if (v.DeviceSerialText.isEmpty() && count > 1)
        print(QStringLiteral("Pour désigner l'adaptateur de déclenchement quel que soit l'ordre des câbles, "
                             "ajoutez son numéro de série à la section [FDTI] de %1 : FDTISerial=<série>. "
                             "Pour le reconnaître, débranchez-le et relancez cette liste : sa ligne disparaît.")
                  .arg(settings));
    if (chosenChip)
        printChipRule(*chosenChip);
    std::fflush(stdout);
    return 0;
}

} // namespace tavrel::run
