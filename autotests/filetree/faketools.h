#pragma once

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>

// A test directory put first on PATH with a "pkexec" that just runs its arguments and a
// "bsign" whose behaviour is chosen by the checked file's name:
//   *crash*  dies on SIGKILL;
//   *held*   waits until release(name) is called;
//   *slow*   takes a moment before answering;
// otherwise it prints the report set for the name and exits with the code set for it.
// Every run is logged as "start <path>" and "end <path>" lines.
class FakeTools
{
public:
    FakeTools();
    ~FakeTools();

    bool isValid() const;
    QString path() const;

    void setReport(const QString &fileName, const QByteArray &report);
    void setExitCode(const QString &fileName, int code);
    void release(const QString &fileName);
    void removePkexec();

    QStringList log() const;
    int startCount() const;
    // Arguments of the last bsign run, as bsign itself received them.
    QStringList lastArguments() const;
    // Pid of the last *held* run, which is the bsign process itself.
    qint64 heldPid() const;

private:
    void writeScript(const QString &name, const QByteArray &body);

    QTemporaryDir m_dir;
    QByteArray m_oldPath;
    bool m_valid = false;
};

// Installs an icon theme with the status icons under the directory and makes it current,
// so that tests can tell the icons apart by name.
bool installStatusIconTheme(const QString &directory);

// A report in the layout bsign prints, followed by the given verdict lines.
QByteArray sampleReport(const QByteArray &verdictLines);
