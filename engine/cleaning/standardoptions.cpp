#include "engine/cleaning/standardoptions.h"

namespace StandardOptions {

const std::array<Info, count> &all()
{
    static const std::array<Info, count> options{ {
            { RetainSafePrivate, "retain-safe-private", "Retain Safe Private Option", "113111" },
            { RetainUids, "retain-uids", "Retain UIDs Option", "113110" },
            { RetainDeviceIdentity, "retain-device-identity", "Retain Device Identity Option",
              "113109" },
            { RetainInstitutionIdentity, "retain-institution-identity",
              "Retain Institution Identity Option", "113112" },
            { RetainPatientCharacteristics, "retain-patient-characteristics",
              "Retain Patient Characteristics Option", "113108" },
            { RetainFullDates, "retain-full-dates",
              "Retain Longitudinal Temporal Information Full Dates Option", "113106" },
            { ModifiedDates, "modified-dates",
              "Retain Longitudinal Temporal Information Modified Dates Option", "113107" },
            { CleanDescriptors, "clean-descriptors", "Clean Descriptors Option", "113105" },
            { CleanStructuredContent, "clean-structured-content", "Clean Structured Content Option",
              "113104" },
            { CleanGraphics, "clean-graphics", "Clean Graphics Option", "113103" },
    } };
    return options;
}

Set byName(const QString &name)
{
    for (const Info &info : all()) {
        if (name == QLatin1String(info.name))
            return info.option;
    }
    return 0;
}

QStringList names(Set set)
{
    QStringList list;
    for (const Info &info : all()) {
        if (set & info.option)
            list << QLatin1String(info.name);
    }
    return list;
}

QString conflict(Set set)
{
    if ((set & RetainFullDates) && (set & ModifiedDates))
        return QStringLiteral("retain-full-dates and modified-dates exclude each other");
    return {};
}

} // namespace StandardOptions
