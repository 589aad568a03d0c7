#pragma once

#include <KMessageWidget>

#include <QStringList>

// The report of the check after the last package update, when it names programs without a
// good signature that this user has not seen yet: Show lists them, Sign… hands them to the
// signing flow. Either marks the report as seen.
class UpdateReportNotice : public KMessageWidget
{
    Q_OBJECT
public:
    explicit UpdateReportNotice(QWidget *parent = nullptr);

    // Tests read a report and keep the seen mark of their own.
    static void setPathsForTesting(const QString &report, const QString &seenMark);
    // Whether the report names programs this user has not seen; the owner shows it then.
    bool hasUnseenReport() const;

Q_SIGNALS:
    void signRequested(const QStringList &files);

private:
    void read();
    void markSeen();
    void showReport();

    QStringList m_files;
    qint64 m_reportTime = 0;
};
