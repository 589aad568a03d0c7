// Uses the module the way an administrator does, against the real chain: keys are made by
// keywright under the real pkexec, listed and exported by the helper, files are signed by
// the bsign stand-in and checked by "pkexec bsign -w". Run by realchain-systemtest.sh inside
// the sandbox (tools/sandbox-run.sh) as a user who is not root, on the offscreen platform.

#include "bsign.h"
#include "directorylisting.h"
#include "keymanager.h"
#include "keysproxyfilemodel.h"
#include "keyswidget.h"
#include "modalanswerer.h"
#include "selectkeydialog.h"
#include "signfilemodel.h"
#include "signingdialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <functional>

#include <unistd.h>

namespace {
const QString SignerName = QStringLiteral("Real Chain Signer");
const QString SignerEmail = QStringLiteral("signer@example.org");
const QString NoSignature = QStringLiteral("No signature");
const QString SuccessPrefix = QStringLiteral("Key generated successfully.\nFingerprint: ");
// Every pkexec start goes through polkitd; the deadlines only stop a hang.
constexpr int ChainDeadline = 30000;

QString fixture(const char *name)
{
    return QString::fromLocal8Bit(qgetenv(name));
}

// Types into the key creation dialog and presses OK once the answerer's poll is over, so
// that the box after the generation can be answered as well.
void fillInKeyDialog(QWidget *window)
{
    QTest::keyClicks(window->findChild<QLineEdit *>(QStringLiteral("nameLineEdit")), SignerName);
    QTest::keyClicks(window->findChild<QLineEdit *>(QStringLiteral("emailLineEdit")), SignerEmail);
    auto buttons = window->findChild<QDialogButtonBox *>(QStringLiteral("dialogButtonBox"));
    QMetaObject::invokeMethod(buttons->button(QDialogButtonBox::Ok), "click", Qt::QueuedConnection);
}

QPushButton *signingButton(const QDialog &dialog, QDialogButtonBox::StandardButton which)
{
    return dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(which);
}

QStringList logLines(const SigningDialog &dialog)
{
    return dialog.findChild<QPlainTextEdit *>(QStringLiteral("logPlainTextEdit"))->toPlainText().split(QLatin1Char('\n'));
}

// Runs the signing dialog like a person who waits for OK and for the last line of the log,
// then presses OK. (OK is enabled once every file is signed, before the key export and the
// path records arrive.) A run that never gets there is closed after the deadline: -2.
int execUntilOk(SigningDialog &dialog, const QString &lastLine)
{
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &dialog, [&dialog, &poll, &lastLine]() {
        if (dialog.isVisible() && signingButton(dialog, QDialogButtonBox::Ok)->isEnabled() && logLines(dialog).constLast() == lastLine) {
            poll.stop();
            signingButton(dialog, QDialogButtonBox::Ok)->click();
        }
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &dialog, [&dialog]() { dialog.done(-2); });
    poll.start();
    deadline.start(ChainDeadline);
    return dialog.exec();
}

// What the status columns show for a file, as "<ELF column>|<xattr column>": the tooltip
// of a checked file, "No signature" or the signing details.
struct StatusCells
{
    QString elf;
    QString xattr;
};

bool isPending(const QVariant &tooltip)
{
    // The first look starts the check and shows nothing; while it runs the tooltip says so.
    return tooltip.type() != QVariant::String || tooltip.toString().startsWith(QLatin1String("Signature information is missing"));
}

bool waitForStatus(SignFileModel &model, const QString &path, StatusCells *cells)
{
    const QModelIndex index = model.index(path);
    if (!index.isValid()) {
        return false;
    }
    QVariant elf;
    QVariant xattr;
    QElapsedTimer clock;
    clock.start();
    do {
        elf = model.data(model.elfIndex(index), Qt::ToolTipRole);
        xattr = model.data(model.xattrIndex(index), Qt::ToolTipRole);
        if (!isPending(elf) && !isPending(xattr)) {
            cells->elf = elf.toString();
            cells->xattr = xattr.toString();
            return true;
        }
        QTest::qWait(20);
    } while (clock.elapsed() < ChainDeadline);
    return false;
}

bool listedFully(SignFileModel &model, const QString &directory)
{
    return DirectoryListing::waitUntilListed(&model, directory);
}

QStringList sorted(QStringList lines)
{
    lines.sort();
    return lines;
}
}

class RealChainTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void keyCreatedInKeysTabIsExported();
    void keySelectionOffersNewKey();
    void signingTurnsStatusToSigned_data();
    void signingTurnsStatusToSigned();

private:
    QString m_fingerprint;
};

void RealChainTest::initTestCase()
{
    QVERIFY2(getuid() != 0, "the caller must not be root: polkit authorises root without rules");
    QVERIFY(!fixture("DIGSIG_TEST_TREES").isEmpty());
}

void RealChainTest::keyCreatedInKeysTabIsExported()
{
    KeysWidget widget;
    ModalAnswerer answerer;
    answerer.answer(fillInKeyDialog);
    answerer.press(QDialogButtonBox::Ok);
    // After a failure the creation dialog comes back: close it, the texts tell why.
    answerer.press(QDialogButtonBox::Cancel);
    widget.findChild<QPushButton *>(QStringLiteral("createKeyButton"))->click();

    const QStringList texts = answerer.seenTexts();
    QVERIFY2(texts.size() == 1 && texts.first().startsWith(SuccessPrefix), qPrintable(texts.join(QLatin1Char('|'))));
    m_fingerprint = texts.first().mid(SuccessPrefix.size());
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F]{40}$")).match(m_fingerprint).hasMatch(), qPrintable(m_fingerprint));

    const QString exported = QStringLiteral("/etc/digsig/xattr_keys/%1.gpg").arg(m_fingerprint);
    QVERIFY(QFileInfo(exported).size() > 0);
    // The tab shows the new key file.
    auto proxy = qobject_cast<KeysProxyFileModel *>(widget.findChild<QTreeView *>()->model());
    auto source = qobject_cast<QFileSystemModel *>(proxy->sourceModel());
    QVERIFY(DirectoryListing::waitUntilListed(source, QStringLiteral("/etc/digsig/xattr_keys")));
    QCOMPARE(DirectoryListing::shownNames(proxy, QStringLiteral("/etc/digsig/xattr_keys")), QStringList {m_fingerprint + QStringLiteral(".gpg")});
}

void RealChainTest::keySelectionOffersNewKey()
{
    QVERIFY(!m_fingerprint.isEmpty());
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfAndXattr);
    auto combo = dialog.findChild<QComboBox *>(QStringLiteral("keysComboBox"));
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->itemText(0), QStringLiteral("%1 <%2> [%3]").arg(SignerName, SignerEmail, m_fingerprint.right(10)));

    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Ok);
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(dialog.selectedKeyID(), m_fingerprint);
}

void RealChainTest::signingTurnsStatusToSigned_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("endLines");
    QTest::addColumn<QStringList>("programStatus");
    QTest::addColumn<QStringList>("notesStatus");

    // The log lines besides those of the list building and of each file: ELF-only runs
    // neither export the key nor record the paths; a file that cannot be signed leaves
    // the run incomplete, so "Signing completed." never comes.
    const QString finished = QStringLiteral("[OK] Signing completed.\nFinished.");
    const QString exported = QStringLiteral("[OK] Key with ID %1 successfully exported to /etc/digsig/xattr_keys/%1.gpg");
    const QString writing = QStringLiteral("[OK] Writing selected directories and files to /etc/digsig/xattr_control");
    QTest::newRow("ELF only") << 0 << QStringList {finished} << QStringList {QStringLiteral("signed"), NoSignature} << QStringList {NoSignature, NoSignature};
    QTest::newRow("extended attributes only") << 1 << QStringList {finished, exported, writing} << QStringList {NoSignature, QStringLiteral("signed")}
                                              << QStringList {NoSignature, QStringLiteral("signed")};
    QTest::newRow("both") << 2 << QStringList {exported, writing} << QStringList {QStringLiteral("signed"), QStringLiteral("signed")}
                          << QStringList {NoSignature, NoSignature};
}

void RealChainTest::signingTurnsStatusToSigned()
{
    QFETCH(int, mode);
    QFETCH(QStringList, endLines);
    QFETCH(QStringList, programStatus);
    QFETCH(QStringList, notesStatus);
    QVERIFY(!m_fingerprint.isEmpty());

    const QString tree = fixture("DIGSIG_TEST_TREES") + QStringLiteral("/mode-%1").arg(mode);
    const QString program = tree + QStringLiteral("/program");
    const QString notes = tree + QStringLiteral("/notes.txt");
    SignFileModel model;
    model.setRootPath(QDir::rootPath());
    QVERIFY(listedFully(model, tree));

    // Nothing is signed yet.
    StatusCells cells;
    for (const QString &file : {program, notes}) {
        QVERIFY2(waitForStatus(model, file, &cells), qPrintable(file));
        QCOMPARE(cells.elf, NoSignature);
        QCOMPARE(cells.xattr, NoSignature);
    }

    // The tree is ticked and signed with the new key; the columns rest meanwhile.
    model.setIsSigningRunning(true);
    QStringList tail;
    for (const QString &lines : qAsConst(endLines)) {
        tail.append((lines.contains(QLatin1String("%1")) ? lines.arg(m_fingerprint) : lines).split(QLatin1Char('\n')));
    }
    QStringList log;
    {
        SigningDialog dialog(m_fingerprint, SelectedPaths {{tree, true}}, static_cast<Bsign::SignMode>(mode), false);
        QCOMPARE(execUntilOk(dialog, tail.constLast()), int(QDialog::Accepted));
        log = logLines(dialog);
    }
    model.setIsSigningRunning(false);

    QStringList fileLines {QStringLiteral("[OK] File \"%1\" signed successfully.").arg(program)};
    if (mode == Bsign::XattrOnly) {
        fileLines.append(QStringLiteral("[OK] File \"%1\" signed successfully.").arg(notes));
    } else if (mode == Bsign::ElfAndXattr) {
        fileLines.append(QStringLiteral("[Error] %1 signing error: %2").arg(notes, Bsign::returnValueToString(Bsign::UnsupportedFileType)));
    }
    QVERIFY2(log.size() == 1 + fileLines.size() + tail.size(), qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(log.first(), QStringLiteral("Create a list of files to sign..."));
    // Files are signed in the order the directory lists them.
    QCOMPARE(sorted(log.mid(1, fileLines.size())), sorted(fileLines));
    QCOMPARE(log.mid(1 + fileLines.size()), tail);

    // The refresh forgets what was known; the columns ask again and show the signatures.
    model.updateIndexesLevel({model.index(tree)});
    const QString signedBy = QStringLiteral("Key ID: ") + m_fingerprint.right(16) + QLatin1Char('\n');
    const auto shown = [&signedBy](const QString &cell) { return cell.startsWith(signedBy) ? QStringLiteral("signed") : cell; };
    QVERIFY(waitForStatus(model, program, &cells));
    QCOMPARE((QStringList {shown(cells.elf), shown(cells.xattr)}), programStatus);
    QVERIFY(waitForStatus(model, notes, &cells));
    QCOMPARE((QStringList {shown(cells.elf), shown(cells.xattr)}), notesStatus);
}

QTEST_MAIN(RealChainTest)

#include "realchaintest.moc"
