#include "selectkeydialog.h"
#include "fakehelperbackend.h"
#include "formcheck.h"
#include "keymanager.h"
#include "kgpglauncher.h"
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

#include <functional>

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

// A key list that gains a second key from the second reading on.
std::function<HelperScript(const QVariantMap &)> growingKeys(int &listings, const QVariantMap &first, const QVariantMap &added)
{
    return [&listings, first, added](const QVariantMap &) {
        QVariantMap keys = first;
        if (++listings > 1) {
            keys.insert(added);
        }
        return keysReply(keys);
    };
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
    void keyList_data();
    void keyList();
    void saveLogCheckBox();
    void acceptAndCancel();
    void createKeyReadsKeysAgain();
    void kgpgMissing();
    void kgpgPresent();
};

void SelectKeyDialogTest::cleanup()
{
    KgpgLauncher::setKgpgPathForTesting(QString());
    KgpgLauncher::setKgpgLauncherForTesting(QString());
}

void SelectKeyDialogTest::form()
{
    FakeHelperBackend backend;
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    QVERIFY(formMatches(dialog,
        {{{}, "objectName", QStringLiteral("SelectKeyDialog")}, {{}, "size", QSize(340, 359)}, {{}, "windowTitle", QStringLiteral("Key selection")},
            {QStringLiteral("_selectKeyLabel"), "text", QStringLiteral("Select key:")},
            {QStringLiteral("_createKeyPushButton"), "text", QStringLiteral("Create new key")},
            {QStringLiteral("_openKeyManagerPushButton"), "text", QStringLiteral("Open key management utility")},
            {QStringLiteral("kmessagewidget"), "text", WarningText}, {QStringLiteral("kmessagewidget"), "wordWrap", true},
            {QStringLiteral("kmessagewidget"), "closeButtonVisible", false},
            {QStringLiteral("_saveLogCheckBox"), "text", QStringLiteral("Save log to /var/log/orlis-kcm-digsig.log")},
            {QStringLiteral("_saveLogCheckBox"), "checked", false}}));
    QVERIFY(combo(dialog));
    QCOMPARE(dialog.findChild<KMessageWidget *>(QStringLiteral("kmessagewidget"))->messageType(), KMessageWidget::Warning);
    auto *line = dialog.findChild<QFrame *>(QStringLiteral("line"));
    QCOMPARE(line->frameShape(), QFrame::HLine);
    QCOMPARE(line->frameShadow(), QFrame::Sunken);
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

void SelectKeyDialogTest::keyList_data()
{
    QTest::addColumn<QVariantMap>("keys");
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QStringList>("ids");

    // The manager lists keys sorted by user id: upper case before lower case.
    QTest::newRow("manager's order, last preselected")
        << QVariantMap {{QStringLiteral("zeta <z@example.org>"), QStringLiteral("1111111111222222222233333333334444444444")},
               {QStringLiteral("Alpha <a@example.org>"), LongFingerprint}, {QStringLiteral("beta"), QStringLiteral("99998888777766665555444433332222111100AB")}}
        << 0
        << QStringList {QStringLiteral("Alpha <a@example.org> [1122223333]"), QStringLiteral("beta [22111100AB]"),
               QStringLiteral("zeta <z@example.org> [4444444444]")}
        << QStringList {
               LongFingerprint, QStringLiteral("99998888777766665555444433332222111100AB"), QStringLiteral("1111111111222222222233333333334444444444")};
    QTest::newRow("short fingerprint shown whole") << QVariantMap {{QStringLiteral("short"), QStringLiteral("ABC")}} << 0
                                                   << QStringList {QStringLiteral("short [ABC]")} << QStringList {QStringLiteral("ABC")};
    QTest::newRow("shared user id, told apart by the helper") << QVariantMap {{QStringLiteral("Admin [2222222222]"), QStringLiteral("11111111112222222222")},
        {QStringLiteral("Admin [4444444444]"), QStringLiteral("33333333334444444444")}}
                                                              << 0 << QStringList {QStringLiteral("Admin [2222222222]"), QStringLiteral("Admin [4444444444]")}
                                                              << QStringList {QStringLiteral("11111111112222222222"), QStringLiteral("33333333334444444444")};
    QTest::newRow("no keys") << QVariantMap() << 0 << QStringList() << QStringList();
    QTest::newRow("failed listing") << QVariantMap() << 4 << QStringList() << QStringList();
}

void SelectKeyDialogTest::keyList()
{
    QFETCH(QVariantMap, keys);
    QFETCH(int, error);
    QFETCH(QStringList, texts);
    QFETCH(QStringList, ids);

    FakeHelperBackend backend;
    HelperScript script = keysReply(keys);
    script.error = error;
    script.errorText = error ? QStringLiteral("not authorised") : QString();
    backend.script(KeysList, script);
    KeyManager manager;
    SelectKeyDialog dialog(&manager, error ? Bsign::XattrOnly : Bsign::ElfAndXattr);
    QCOMPARE(comboTexts(dialog), texts);
    QCOMPARE(combo(dialog)->currentIndex(), ids.size() - 1);
    QCOMPARE(dialog.selectedKeyID(), ids.value(ids.size() - 1));
    QCOMPARE(dialogButton(dialog, QDialogButtonBox::Ok)->isEnabled(), !ids.isEmpty());
    for (int i = 0; i < ids.size(); ++i) {
        QCOMPARE(combo(dialog)->itemData(i, Qt::UserRole).toString(), ids.at(i));
        QVERIFY(combo(dialog)->itemIcon(i).isNull());
    }
    if (!ids.isEmpty()) {
        combo(dialog)->setCurrentIndex(0);
        QCOMPARE(dialog.selectedKeyID(), ids.first());
    }

    // Even with no key to choose, the dialog can be closed.
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Cancel);
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QCOMPARE(answerer.answeredCount(), 1);
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
    for (const auto button : {QDialogButtonBox::Ok, QDialogButtonBox::Cancel}) {
        SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
        ModalAnswerer answerer;
        answerer.press(button);
        QCOMPARE(dialog.exec(), int(button == QDialogButtonBox::Ok ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(dialog.selectedKeyID(), LongFingerprint);
    }
}

void SelectKeyDialogTest::createKeyReadsKeysAgain()
{
    FakeHelperBackend backend;
    int listings = 0;
    backend.script(KeysList,
        growingKeys(
            listings, {{QStringLiteral("old"), QStringLiteral("0000000000OLDOLDOLD1")}}, {{QStringLiteral("new"), QStringLiteral("0000000000NEWNEWNEW2")}}));
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
    KgpgLauncher::setKgpgPathForTesting(dir.filePath(QStringLiteral("no-kgpg")));
    const QString launcherLog = dir.filePath(QStringLiteral("launched"));
    KgpgLauncher::setKgpgLauncherForTesting(dir.filePath(QStringLiteral("launcher")));

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
    QCOMPARE(backend.callNames().count(KeysList), 1);
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
    KgpgLauncher::setKgpgPathForTesting(kgpg);
    KgpgLauncher::setKgpgLauncherForTesting(launcher);

    FakeHelperBackend backend;
    int listings = 0;
    backend.script(KeysList, growingKeys(listings, {{QStringLiteral("first"), QStringLiteral("F1")}}, {{QStringLiteral("second"), QStringLiteral("F2")}}));
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    dialog.findChild<QPushButton *>(QStringLiteral("_openKeyManagerPushButton"))->click();

    QFile log(launcherLog);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QFile::encodeName(kgpg) + "\n-k\n");
    // The keys are read again after the program ended, whatever its exit status.
    QCOMPARE(listings, 2);
    QCOMPARE(comboTexts(dialog), (QStringList {QStringLiteral("first [F1]"), QStringLiteral("second [F2]")}));
    QCOMPARE(dialog.selectedKeyID(), QStringLiteral("F2"));
}

QTEST_MAIN(SelectKeyDialogTest)
#include "selectkeydialogtest.moc"
