#include "selectkeydialog.h"
#include "fakehelperbackend.h"
#include "keymanager.h"
#include "modalanswerer.h"

#include <KMessageWidget>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString KeysList = QStringLiteral("ru.orlis.kcm.digsig.keyslist");
const QString LongFingerprint = QStringLiteral("AAAABBBBCCCCDDDDEEEEFFFF0000111122223333");
const QString WarningText = QStringLiteral(
    "Warning! To sign an executable files, you should select a key, which is signed by the Zelmark key. Also you can select a key, which is signed along the "
    "chain by other keys, where the first key is signed by the Zelmark key. In this case, you should create a hierarchy of directories with keys in "
    "/etc/digsig/keys and correctly place the selected key in it by yourself.");

QComboBox *combo(const QDialog &dialog)
{
    return dialog.findChild<QComboBox *>(QStringLiteral("keysComboBox"));
}

QPushButton *dialogButton(const QDialog &dialog, QDialogButtonBox::StandardButton which)
{
    return dialog.findChild<QDialogButtonBox *>(QStringLiteral("_dialogButtonBox"))->button(which);
}

QStringList comboTexts(const QDialog &dialog)
{
    QStringList texts;
    for (int i = 0; i < combo(dialog)->count(); ++i) {
        texts.append(combo(dialog)->itemText(i));
    }
    return texts;
}

HelperScript keysReply(const QVariantMap &keys)
{
    HelperScript script;
    script.reply = keys;
    return script;
}

int callCount(const FakeHelperBackend &backend, const QString &name)
{
    return backend.callNames().count(name);
}
}

class SelectKeyDialogTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void form();
    void warningPerMode_data();
    void warningPerMode();
    void keysInManagerOrderLastPreselected();
    void shortFingerprintShownWhole();
    void noKeys();
    void failedKeyListing();
    void saveLogCheckBox();
    void acceptAndCancel();
    void createKeyReadsKeysAgain();
    void kgpgMissing();
    void kgpgPresent();
};

void SelectKeyDialogTest::cleanup()
{
    SelectKeyDialog::setKgpgPathForTesting(QString());
    SelectKeyDialog::setKgpgLauncherForTesting(QString());
}

void SelectKeyDialogTest::form()
{
    FakeHelperBackend backend;
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    QCOMPARE(dialog.objectName(), QStringLiteral("SelectKeyDialog"));
    QCOMPARE(dialog.size(), QSize(340, 359));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Key selection"));
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("_selectKeyLabel"))->text(), QStringLiteral("Select key:"));
    QVERIFY(combo(dialog));
    QCOMPARE(dialog.findChild<QPushButton *>(QStringLiteral("_createKeyPushButton"))->text(), QStringLiteral("Create new key"));
    QCOMPARE(dialog.findChild<QPushButton *>(QStringLiteral("_openKeyManagerPushButton"))->text(), QStringLiteral("Open key management utility"));
    auto *warning = dialog.findChild<KMessageWidget *>(QStringLiteral("kmessagewidget"));
    QVERIFY(warning);
    QCOMPARE(warning->messageType(), KMessageWidget::Warning);
    QVERIFY(warning->wordWrap());
    QVERIFY(!warning->isCloseButtonVisible());
    QCOMPARE(warning->text(), WarningText);
    auto *line = dialog.findChild<QFrame *>(QStringLiteral("line"));
    QVERIFY(line);
    QCOMPARE(line->frameShape(), QFrame::HLine);
    QCOMPARE(line->frameShadow(), QFrame::Sunken);
    auto *saveLog = dialog.findChild<QCheckBox *>(QStringLiteral("_saveLogCheckBox"));
    QCOMPARE(saveLog->text(), QStringLiteral("Save log to /var/log/orlis-kcm-digsig.log"));
    QVERIFY(!saveLog->isChecked());
    auto *buttons = dialog.findChild<QDialogButtonBox *>(QStringLiteral("_dialogButtonBox"));
    QCOMPARE(buttons->orientation(), Qt::Horizontal);
    QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QVERIFY(dialog.findChild<QLayout *>(QStringLiteral("selectKeyVerticalLayout")));
    QVERIFY(dialog.findChild<QLayout *>(QStringLiteral("horizontalLayout")));
    QCOMPARE(dialog.layout()->objectName(), QStringLiteral("verticalLayout"));
    // Reading the keys is one synchronous call to the key list.
    QCOMPARE(backend.callNames(), QStringList {KeysList});
}

void SelectKeyDialogTest::warningPerMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("warningShown");
    QTest::newRow("elf only") << 0 << true;
    QTest::newRow("xattr only") << 1 << false;
    QTest::newRow("both") << 2 << true;
}

void SelectKeyDialogTest::warningPerMode()
{
    QFETCH(int, mode);
    QFETCH(bool, warningShown);
    FakeHelperBackend backend;
    KeyManager manager;
    SelectKeyDialog dialog(&manager, static_cast<Bsign::SignMode>(mode));
    QCOMPARE(dialog.findChild<KMessageWidget *>(QStringLiteral("kmessagewidget"))->isVisibleTo(&dialog), warningShown);
    // Without the warning the dialog gets shorter, not narrower (its layout may need more
    // than the form's width, whatever the mode).
    QCOMPARE(dialog.width(), qMax(340, dialog.minimumWidth()));
    if (warningShown) {
        QCOMPARE(dialog.height(), 359);
    } else {
        QVERIFY2(dialog.height() < 359, qPrintable(QString::number(dialog.height())));
    }
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.findChild<KMessageWidget *>(QStringLiteral("kmessagewidget"))->isVisible(), warningShown);
}

void SelectKeyDialogTest::keysInManagerOrderLastPreselected()
{
    FakeHelperBackend backend;
    // The manager lists keys sorted by user id: upper case before lower case.
    backend.script(KeysList,
        keysReply({{QStringLiteral("zeta <z@example.org>"), QStringLiteral("1111111111222222222233333333334444444444")},
            {QStringLiteral("Alpha <a@example.org>"), LongFingerprint}, {QStringLiteral("beta"), QStringLiteral("99998888777766665555444433332222111100AB")}}));
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfAndXattr);
    QCOMPARE(comboTexts(dialog),
        (QStringList {
            QStringLiteral("Alpha <a@example.org> [1122223333]"), QStringLiteral("beta [22111100AB]"), QStringLiteral("zeta <z@example.org> [4444444444]")}));
    QCOMPARE(combo(dialog)->currentIndex(), 2);
    QCOMPARE(dialog.selectedKeyID(), QStringLiteral("1111111111222222222233333333334444444444"));
    QCOMPARE(combo(dialog)->itemData(0, Qt::UserRole).toString(), LongFingerprint);
    QVERIFY(combo(dialog)->itemIcon(0).isNull());
    QVERIFY(dialogButton(dialog, QDialogButtonBox::Ok)->isEnabled());

    combo(dialog)->setCurrentIndex(0);
    QCOMPARE(dialog.selectedKeyID(), LongFingerprint);
}

void SelectKeyDialogTest::shortFingerprintShownWhole()
{
    FakeHelperBackend backend;
    backend.script(KeysList, keysReply({{QStringLiteral("short"), QStringLiteral("ABC")}}));
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    QCOMPARE(comboTexts(dialog), QStringList {QStringLiteral("short [ABC]")});
    QCOMPARE(dialog.selectedKeyID(), QStringLiteral("ABC"));
}

void SelectKeyDialogTest::noKeys()
{
    FakeHelperBackend backend;
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    QCOMPARE(combo(dialog)->count(), 0);
    QCOMPARE(combo(dialog)->currentIndex(), -1);
    QVERIFY(dialog.selectedKeyID().isEmpty());
    QVERIFY(!dialogButton(dialog, QDialogButtonBox::Ok)->isEnabled());

    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Cancel);
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QCOMPARE(answerer.answeredCount(), 1);
}

void SelectKeyDialogTest::failedKeyListing()
{
    FakeHelperBackend backend;
    HelperScript failure;
    failure.error = 4;
    failure.errorText = QStringLiteral("not authorised");
    backend.script(KeysList, failure);
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::XattrOnly);
    QCOMPARE(combo(dialog)->count(), 0);
    QVERIFY(!dialogButton(dialog, QDialogButtonBox::Ok)->isEnabled());
}

void SelectKeyDialogTest::saveLogCheckBox()
{
    FakeHelperBackend backend;
    backend.script(KeysList, keysReply({{QStringLiteral("key"), LongFingerprint}}));
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    QVERIFY(!dialog.saveLog());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto *box = dialog.findChild<QCheckBox *>(QStringLiteral("_saveLogCheckBox"));
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    QVERIFY(dialog.saveLog());
}

void SelectKeyDialogTest::acceptAndCancel()
{
    FakeHelperBackend backend;
    backend.script(KeysList, keysReply({{QStringLiteral("key"), LongFingerprint}}));
    KeyManager manager;
    {
        SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
        ModalAnswerer answerer;
        answerer.press(QDialogButtonBox::Ok);
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(dialog.selectedKeyID(), LongFingerprint);
    }
    {
        SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
        ModalAnswerer answerer;
        answerer.press(QDialogButtonBox::Cancel);
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    }
}

void SelectKeyDialogTest::createKeyReadsKeysAgain()
{
    FakeHelperBackend backend;
    int listings = 0;
    backend.script(KeysList, [&listings](const QVariantMap &) {
        ++listings;
        QVariantMap keys {{QStringLiteral("old"), QStringLiteral("0000000000OLDOLDOLD1")}};
        if (listings > 1) {
            keys.insert(QStringLiteral("new"), QStringLiteral("0000000000NEWNEWNEW2"));
        }
        return keysReply(keys);
    });
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    combo(dialog)->setCurrentIndex(0);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    // The key creation dialog opens; it is closed without a key, and the list is read again.
    ModalAnswerer answerer;
    QString seenDialog;
    answerer.answer([&seenDialog](QWidget *window) {
        seenDialog = window->objectName();
        ModalAnswerer::pressButton(window, QDialogButtonBox::Cancel);
    });
    dialog.findChild<QPushButton *>(QStringLiteral("_createKeyPushButton"))->click();
    QCOMPARE(seenDialog, QStringLiteral("KeyDialog"));
    QCOMPARE(listings, 2);
    QCOMPARE(comboTexts(dialog), (QStringList {QStringLiteral("new [NEWNEWNEW2]"), QStringLiteral("old [OLDOLDOLD1]")}));
    // The current item goes back to the last one.
    QCOMPARE(combo(dialog)->currentIndex(), 1);
}

void SelectKeyDialogTest::kgpgMissing()
{
    QTemporaryDir dir;
    SelectKeyDialog::setKgpgPathForTesting(dir.filePath(QStringLiteral("no-kgpg")));
    const QString launcherLog = dir.filePath(QStringLiteral("launched"));
    SelectKeyDialog::setKgpgLauncherForTesting(dir.filePath(QStringLiteral("launcher")));

    FakeHelperBackend backend;
    backend.script(KeysList, keysReply({{QStringLiteral("key"), LongFingerprint}}));
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Ok);
    dialog.findChild<QPushButton *>(QStringLiteral("_openKeyManagerPushButton"))->click();
    QCOMPARE(answerer.answeredCount(), 1);
    QCOMPARE(answerer.seenTitles(), QStringList {QStringLiteral("The kgpg utility is not installed")});
    QCOMPARE(answerer.seenTexts(), QStringList {QStringLiteral("To open key management utility run in the console: apt-get install kgpg")});
    QVERIFY(!QFile::exists(launcherLog));
    // The list is not read again.
    QCOMPARE(callCount(backend, KeysList), 1);
    QCOMPARE(comboTexts(dialog).size(), 1);
}

void SelectKeyDialogTest::kgpgPresent()
{
    QTemporaryDir dir;
    const QString kgpg = dir.filePath(QStringLiteral("kgpg"));
    QFile marker(kgpg);
    QVERIFY(marker.open(QIODevice::WriteOnly));
    marker.close();
    const QString launcher = dir.filePath(QStringLiteral("launcher"));
    const QString launcherLog = dir.filePath(QStringLiteral("launched"));
    QFile script(launcher);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + QFile::encodeName(launcherLog) + "'\nexit 3\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    SelectKeyDialog::setKgpgPathForTesting(kgpg);
    SelectKeyDialog::setKgpgLauncherForTesting(launcher);

    FakeHelperBackend backend;
    int listings = 0;
    backend.script(KeysList, [&listings](const QVariantMap &) {
        ++listings;
        QVariantMap keys {{QStringLiteral("first"), QStringLiteral("F1")}};
        if (listings > 1) {
            keys.insert(QStringLiteral("second"), QStringLiteral("F2"));
        }
        return keysReply(keys);
    });
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    dialog.findChild<QPushButton *>(QStringLiteral("_openKeyManagerPushButton"))->click();

    QFile log(launcherLog);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray("kgpg\n-k\n"));
    // The keys are read again after the program ended, whatever its exit status.
    QCOMPARE(listings, 2);
    QCOMPARE(comboTexts(dialog), (QStringList {QStringLiteral("first [F1]"), QStringLiteral("second [F2]")}));
    QCOMPARE(dialog.selectedKeyID(), QStringLiteral("F2"));
}

QTEST_MAIN(SelectKeyDialogTest)
#include "selectkeydialogtest.moc"
