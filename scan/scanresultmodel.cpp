#include "scanresultmodel.h"

#include "pathtext.h"

#include <KLocalizedString>

#include <QIcon>

namespace {
const char Domain[] = "orlis_kcm_digsig";

QString csvField(QString field)
{
    field.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + field + QLatin1Char('"');
}

QString stateOf(const ScanEntry &entry, int column)
{
    switch (column) {
    case ScanResultModel::PathColumn:
        return PathText::visible(entry.path);
    case ScanResultModel::ElfColumn:
        return entry.checked ? SignatureVerdict::stateText(entry.elf) : QString();
    case ScanResultModel::XattrColumn:
        return entry.checked ? SignatureVerdict::stateText(entry.xattr) : QString();
    case ScanResultModel::VerdictColumn:
        return entry.checked ? SignatureVerdict::verdictText(entry.verdict) : i18nd(Domain, "waiting");
    case ScanResultModel::KeyColumn:
        return entry.keyId;
    case ScanResultModel::NeededColumn:
        return entry.needed ? i18nd(Domain, "needed to start") : QString();
    default:
        return QString();
    }
}
}

ScanResultModel::ScanResultModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

int ScanResultModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_published;
}

int ScanResultModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ScanResultModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_published) {
        return QVariant();
    }
    const ScanEntry &shown = m_entries.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return stateOf(shown, index.column());
    case ProblemRole:
        return isProblem(shown);
    case Qt::DecorationRole:
        if (index.column() == VerdictColumn && shown.checked) {
            return QIcon::fromTheme(shown.verdict == SignatureVerdict::Runs ? QStringLiteral("task-complete") : QStringLiteral("task-reject"));
        }
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant ScanResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QVariant();
    }
    switch (section) {
    case PathColumn:
        return i18nd(Domain, "File");
    case ElfColumn:
        return i18nd(Domain, "ELF signature");
    case XattrColumn:
        return i18nd(Domain, "xattr signature");
    case VerdictColumn:
        return i18nd(Domain, "After enforcement");
    case KeyColumn:
        return i18nd(Domain, "Key ID");
    case NeededColumn:
        return i18nd(Domain, "System start");
    default:
        return QVariant();
    }
}

void ScanResultModel::clear()
{
    beginResetModel();
    m_entries.clear();
    m_entries.squeeze();
    m_published = 0;
    m_problems = 0;
    m_keyIds.clear();
    endResetModel();
}

int ScanResultModel::addFile(const QString &path, bool isElf)
{
    ScanEntry added;
    added.path = path;
    added.isElf = isElf;
    m_entries.append(added);
    return m_entries.size() - 1;
}

void ScanResultModel::setResult(int entryIndex, SignatureVerdict::State elf, SignatureVerdict::State xattr, const QString &keyId, VerificationModeId mode)
{
    ScanEntry &checked = m_entries[entryIndex];
    const bool wasProblem = isProblem(checked);
    checked.elf = elf;
    checked.xattr = xattr;
    if (!keyId.isEmpty()) {
        checked.keyId = *m_keyIds.insert(keyId);
    }
    checked.verdict = SignatureVerdict::judge(elf, xattr, checked.isElf ? mode : VerificationModeId::OnlyXattr);
    checked.checked = true;
    m_problems += int(isProblem(checked)) - int(wasProblem);
    if (entryIndex < m_published) {
        Q_EMIT dataChanged(index(entryIndex, 0), index(entryIndex, ColumnCount - 1));
    }
}

void ScanResultModel::setNeeded(int entryIndex, bool needed)
{
    m_entries[entryIndex].needed = needed;
}

void ScanResultModel::publish()
{
    if (m_published == m_entries.size()) {
        return;
    }
    beginInsertRows(QModelIndex(), m_published, m_entries.size() - 1);
    m_published = m_entries.size();
    endInsertRows();
}

int ScanResultModel::entryCount() const
{
    return m_entries.size();
}

const ScanEntry &ScanResultModel::entry(int entryIndex) const
{
    return m_entries.at(entryIndex);
}

int ScanResultModel::problemCount() const
{
    return m_problems;
}

int ScanResultModel::neededProblemCount() const
{
    return neededProblems().size();
}

QStringList ScanResultModel::neededProblems() const
{
    QStringList paths;
    for (const ScanEntry &each : m_entries) {
        if (each.needed && isProblem(each)) {
            paths.append(PathText::visible(each.path));
        }
    }
    return paths;
}

bool ScanResultModel::isProblem(const ScanEntry &entry)
{
    return entry.checked && entry.verdict != SignatureVerdict::Runs;
}

QMap<QString, int> ScanResultModel::problemsPerDirectory() const
{
    QMap<QString, int> counts;
    for (const ScanEntry &each : m_entries) {
        if (isProblem(each)) {
            ++counts[each.path.left(qMax(1, each.path.lastIndexOf(QLatin1Char('/'))))];
        }
    }
    return counts;
}

QString ScanResultModel::textReport(bool problemsOnly) const
{
    QString report;
    for (const ScanEntry &each : m_entries) {
        if (problemsOnly && !isProblem(each)) {
            continue;
        }
        QStringList fields;
        for (int column = ElfColumn; column < ColumnCount; ++column) {
            fields.append(stateOf(each, column));
        }
        fields.append(stateOf(each, PathColumn));
        report += fields.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return report;
}

QString ScanResultModel::csvReport(bool problemsOnly) const
{
    QStringList header;
    for (int column = PathColumn; column < ColumnCount; ++column) {
        header.append(csvField(headerData(column, Qt::Horizontal).toString()));
    }
    QString report = header.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (const ScanEntry &each : m_entries) {
        if (problemsOnly && !isProblem(each)) {
            continue;
        }
        QStringList fields;
        for (int column = PathColumn; column < ColumnCount; ++column) {
            fields.append(csvField(stateOf(each, column)));
        }
        report += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return report;
}
