#include "updatereportnotice.h"

#include <KLocalizedString>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QStandardPaths>

namespace {
const char Domain[] = "orlis_kcm_digsig";
// The report is a few lines per program; a larger file is not read.
constexpr qint64 MaxReportSize = 16 * 1024 * 1024;

QString &reportPath()
{
    static QString path = QStringLiteral("/var/lib/orlis-kcm-digsig/last-update.json");
    return path;
}

QString &seenMarkPath()
{
    static QString path = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/orlis-kcm-digsig/update-report-seen");
    return path;
}
}

UpdateReportNotice::UpdateReportNotice(QWidget *parent)
    : KMessageWidget(parent)
{
    setObjectName(QStringLiteral("updateReportNotice"));
    setMessageType(KMessageWidget::Warning);
    setCloseButtonVisible(false);
    setWordWrap(true);
    auto show = new QAction(i18nd(Domain, "Show"), this);
    show->setObjectName(QStringLiteral("showUpdateReport"));
    connect(show, &QAction::triggered, this, &UpdateReportNotice::showReport);
    auto sign = new QAction(QIcon::fromTheme(QStringLiteral("application-pgp-signature")), i18nd(Domain, "Sign…"), this);
    sign->setObjectName(QStringLiteral("signUpdateReport"));
    connect(sign, &QAction::triggered, this, [this] {
        const QStringList files = m_files;
        markSeen();
        Q_EMIT signRequested(files);
    });
    addAction(show);
    addAction(sign);
    read();
}

void UpdateReportNotice::setPathsForTesting(const QString &report, const QString &seenMark)
{
    reportPath() = report;
    seenMarkPath() = seenMark;
}

void UpdateReportNotice::read()
{
    QFile report(reportPath());
    const QFileInfo info(report);
    m_reportTime = info.lastModified().toSecsSinceEpoch();
    QFile seen(seenMarkPath());
    const qint64 seenTime = seen.open(QIODevice::ReadOnly) ? seen.readAll().trimmed().toLongLong() : 0;
    if (!info.isFile() || info.size() > MaxReportSize || m_reportTime <= seenTime || !report.open(QIODevice::ReadOnly)) {
        return;
    }
    for (const QByteArray &line : report.readAll().split('\n')) {
        const QString path = QJsonDocument::fromJson(line).object().value(QLatin1String("path")).toString();
        if (path.startsWith(QLatin1Char('/'))) {
            m_files.append(path);
        }
    }
    if (!m_files.isEmpty()) {
        setText(i18nd(Domain, "The last update installed %1 programs without a good signature", m_files.size()));
    }
}

bool UpdateReportNotice::hasUnseenReport() const
{
    return !m_files.isEmpty();
}

void UpdateReportNotice::markSeen()
{
    QDir().mkpath(QFileInfo(seenMarkPath()).path());
    QFile seen(seenMarkPath());
    if (seen.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        seen.write(QByteArray::number(m_reportTime));
    }
    hide();
}

void UpdateReportNotice::showReport()
{
    markSeen();
    QMessageBox report(QMessageBox::Warning, i18nd(Domain, "The last update"),
        i18nd(Domain, "The last update installed %1 programs without a good signature", m_files.size()), QMessageBox::Close, this);
    report.setDetailedText(m_files.join(QLatin1Char('\n')));
    report.exec();
}
