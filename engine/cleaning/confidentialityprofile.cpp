#include "engine/cleaning/confidentialityprofile.h"

#include <QFile>
#include <QHash>
#include <QList>

namespace ConfidentialityProfile {

namespace {

// The table's code, resolved for each IOD type: [0] unknown, [1] to [3] Types 1 to 3.
struct Rule
{
    Action byType[4] = { Action::None, Action::None, Action::None, Action::None };
    bool dependsOnType = false;
    bool mayRemove = false;
    Action byOption[StandardOptions::count] = {}; // None where the option gives no code
};

struct Pattern
{
    quint32 value = 0;
    quint32 mask = 0; // bits of the tag the pattern fixes
    Rule rule;
};

struct Table
{
    QHash<quint32, Rule> exact;
    QList<Pattern> patterns; // tags with X digits
    Rule privateRule; // every private element
};

Action fromCode(char code)
{
    switch (code) {
    case 'D':
        return Action::Dummy;
    case 'Z':
        return Action::Zero;
    case 'X':
        return Action::Remove;
    case 'K':
        return Action::Keep;
    case 'U':
        return Action::Uid;
    default:
        return Action::None;
    }
}

Rule ruleFor(const QByteArray &fallback, const QByteArray &code, const QByteArray &options)
{
    const Action unknown = fromCode(fallback.isEmpty() ? 'X' : fallback.at(0));
    const Action d = Action::Dummy;
    const Action x = Action::Remove;
    const Action z = Action::Zero;
    Rule rule;
    auto set = [&rule](Action none, Action t1, Action t2, Action t3) {
        rule.byType[0] = none;
        rule.byType[1] = t1;
        rule.byType[2] = t2;
        rule.byType[3] = t3;
        rule.dependsOnType = !(t1 == t2 && t2 == t3);
    };
    if (code == "X/Z")
        set(unknown, d, z, x);
    else if (code == "X/D")
        set(unknown, d, d, x);
    else if (code == "X/Z/D")
        set(unknown, d, z, x);
    else if (code == "Z/D")
        set(unknown, d, z, z);
    else if (code == "X/Z/U*")
        set(unknown, Action::Uid, z, x);
    else if (code == "Z")
        set(unknown, d, z, z);
    else
        set(unknown, unknown, unknown, unknown);
    rule.mayRemove = code.contains('X') || unknown == Action::Remove;
    const int modifiedDates = StandardOptions::column(StandardOptions::ModifiedDates);
    for (int i = 0; i < StandardOptions::count && i < options.size(); ++i) {
        if (options.at(i) == 'K')
            rule.byOption[i] = Action::Keep;
        else if (options.at(i) == 'C')
            rule.byOption[i] = i == modifiedDates ? Action::ShiftDate : Action::Clean;
    }
    return rule;
}

Table load()
{
    Table table;
    QFile file(QStringLiteral(":/confidentiality.tsv"));
    if (!file.open(QIODevice::ReadOnly))
        return table;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.startsWith('#'))
            continue;
        // tag, action, the table's code, the options' codes, name
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 4 || fields.at(0).size() != 8 || fields.at(1).size() != 1)
            continue;
        const QByteArray &tag = fields.at(0);
        const Rule rule = ruleFor(fields.at(1), fields.at(2), fields.at(3));
        if (tag == "GGGGEEEE") {
            table.privateRule = rule;
            continue;
        }
        Pattern pattern{ 0, 0, rule };
        for (const char c : tag) {
            pattern.value <<= 4;
            pattern.mask <<= 4;
            if (c != 'X') {
                pattern.value |= QByteArray(1, c).toUInt(nullptr, 16);
                pattern.mask |= 0xf;
            }
        }
        if (pattern.mask == 0xffffffffu)
            table.exact.insert(pattern.value, rule);
        else
            table.patterns.append(pattern);
    }
    return table;
}

const Table &table()
{
    static const Table loaded = load();
    return loaded;
}

const Rule *ruleOf(quint16 group, quint16 element)
{
    const Table &t = table();
    const quint32 tag = (quint32(group) << 16) | element;
    const auto it = t.exact.constFind(tag);
    if (it != t.exact.constEnd())
        return &it.value();
    for (const Pattern &pattern : t.patterns) {
        if ((tag & pattern.mask) == pattern.value)
            return &pattern.rule;
    }
    return nullptr;
}

} // namespace

Action action(quint16 group, quint16 element, DicomFacts::IodType iodType,
              StandardOptions::Set options)
{
    const Rule *rule = group % 2 != 0 ? &table().privateRule : ruleOf(group, element);
    if (!rule)
        return Action::None;
    if (options != 0) {
        // Dates are moved wherever Modified Dates is on, whatever another option keeps.
        constexpr int first = StandardOptions::column(StandardOptions::ModifiedDates);
        if ((options & StandardOptions::ModifiedDates) && rule->byOption[first] != Action::None)
            return rule->byOption[first];
        for (int i = 0; i < StandardOptions::count; ++i) {
            if ((options & (1u << i)) && rule->byOption[i] != Action::None)
                return rule->byOption[i];
        }
    }
    const int type = static_cast<int>(iodType);
    return rule->byType[type >= 1 && type <= 3 ? type : 0];
}

bool dependsOnType(quint16 group, quint16 element)
{
    const Rule *rule = group % 2 != 0 ? nullptr : ruleOf(group, element);
    return rule && rule->dependsOnType;
}

bool mayRemove(quint16 group, quint16 element)
{
    const Rule *rule = group % 2 != 0 ? &table().privateRule : ruleOf(group, element);
    return rule && rule->mayRemove;
}

} // namespace ConfidentialityProfile
