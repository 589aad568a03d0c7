#include "keydialog.h"
#include "keymanager.h"

#include "fakehelperbackend.h"
#include "modalanswerer.h"
#include "standinprogram.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {
const QString AccessAction = QStringLiteral("ru.orlis.kcm.securitysettings.access");
const QString ShortNameText = QStringLiteral("Name shouldn't be shorter than 5 characters.");

QLineEdit *lineEdit(const QDialog &dialog, const char *name)
{
    return dialog.findChild<QLineEdit *>(QLatin1String(name));
}

QPushButton *button(const QDialog &dialog, QDialogButtonBox::StandardButton which)
{
    return dialog.findChild<QDialogButtonBox *>(QStringLiteral("dialogButtonBox"))->button(which);
}

// Types like a person; QTest::keyClicks knows only Latin-1 keys, so other letters go in as
// key events that carry their text.
void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClicks(widget, QString(c));
        } else {
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
        }
    }
}

QString typed(const char *field, const QString &keys)
{
    KeyManager manager;
    KeyDialog dialog(&manager);
    QLineEdit *edit = lineEdit(dialog, field);
    typeText(edit, keys);
    return edit->text();
}

// Fills the form like a person and presses OK; the boxes that follow are answered with OK.
struct Run
{
    QStringList boxTexts;
    bool enabledDuringBox = true;
};

Run fillAndConfirm(KeyDialog &dialog, const QString &name, const QString &email, const QString &comment)
{
    typeText(lineEdit(dialog, "nameLineEdit"), name);
    typeText(lineEdit(dialog, "emailLineEdit"), email);
    typeText(lineEdit(dialog, "commentLineEdit"), comment);
    Run run;
    ModalAnswerer answerer;
    answerer.answer([&dialog, &run](QWidget *box) {
        run.enabledDuringBox = dialog.isEnabled();
        ModalAnswerer::pressButton(box, QDialogButtonBox::Ok);
    });
    QTest::mouseClick(button(dialog, QDialogButtonBox::Ok), Qt::LeftButton);
    // The key is made in the background; the dialog is locked until its outcome was shown.
    QTest::qWaitFor([&dialog] { return dialog.isEnabled() || !dialog.isVisible(); }, 10000);
    run.boxTexts = answerer.seenTexts();
    return run;
}
}

class KeyDialogTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void form();
    void validators_data();
    void validators();
    void nameLength_data();
    void nameLength();
    void successClosesAsAccepted();
    void failureKeepsDialogOpen_data();
    void failureKeepsDialogOpen();
    void valuesSentAsTyped_data();
    void valuesSentAsTyped();
    void cancelRejects();
};

void KeyDialogTest::cleanup()
{
    KeyManager::setProgramForTesting(QString());
}

void KeyDialogTest::form()
{
    KeyManager manager;
    KeyDialog dialog(&manager);
    QCOMPARE(dialog.objectName(), QStringLiteral("KeyDialog"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Create key"));
    QCOMPARE(dialog.size(), QSize(218, 138));

    auto grid = dialog.findChild<QGridLayout *>(QStringLiteral("gridLayout"));
    QVERIFY(grid);
    QCOMPARE(dialog.layout()->objectName(), QStringLiteral("verticalLayout"));
    const QStringList labels {QStringLiteral("nameLabel"), QStringLiteral("emailLabel"), QStringLiteral("commentLabel")};
    const QStringList texts {QStringLiteral("Name:"), QStringLiteral("EMail:"), QStringLiteral("Comment:")};
    const QStringList edits {QStringLiteral("nameLineEdit"), QStringLiteral("emailLineEdit"), QStringLiteral("commentLineEdit")};
    for (int row = 0; row < 3; ++row) {
        auto label = qobject_cast<QLabel *>(grid->itemAtPosition(row, 0)->widget());
        QVERIFY(label);
        QCOMPARE(label->objectName(), labels.at(row));
        QCOMPARE(label->text(), texts.at(row));
        auto edit = qobject_cast<QLineEdit *>(grid->itemAtPosition(row, 1)->widget());
        QVERIFY(edit);
        QCOMPARE(edit->objectName(), edits.at(row));
        QCOMPARE(edit->maxLength(), 500);
    }
    QVERIFY(lineEdit(dialog, "nameLineEdit")->validator());
    QVERIFY(lineEdit(dialog, "emailLineEdit")->validator());
    QVERIFY(!lineEdit(dialog, "commentLineEdit")->validator());

    auto buttons = dialog.findChild<QDialogButtonBox *>(QStringLiteral("dialogButtonBox"));
    QVERIFY(buttons);
    QCOMPARE(buttons->orientation(), Qt::Horizontal);
    QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
}

void KeyDialogTest::validators_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("expected");

    QTest::newRow("Latin name") << QStringLiteral("nameLineEdit") << QStringLiteral("John Smith") << QStringLiteral("John Smith");
    QTest::newRow("Cyrillic name") << QStringLiteral("nameLineEdit") << QStringLiteral("Иван Петров") << QStringLiteral("Иван Петров");
    QTest::newRow("digits and underscore after a letter") << QStringLiteral("nameLineEdit") << QStringLiteral("Admin_2 x") << QStringLiteral("Admin_2 x");
    QTest::newRow("leading digit cannot be typed") << QStringLiteral("nameLineEdit") << QStringLiteral("1Admin") << QStringLiteral("Admin");
    QTest::newRow("leading space cannot be typed") << QStringLiteral("nameLineEdit") << QStringLiteral(" Admin") << QStringLiteral("Admin");
    QTest::newRow("leading underscore cannot be typed") << QStringLiteral("nameLineEdit") << QStringLiteral("_Admin") << QStringLiteral("Admin");
    QTest::newRow("hyphen and dot cannot be typed") << QStringLiteral("nameLineEdit") << QStringLiteral("Jean-Luc P.") << QStringLiteral("JeanLuc P");
    QTest::newRow("angle brackets cannot be typed") << QStringLiteral("nameLineEdit") << QStringLiteral("Adm<in>") << QStringLiteral("Admin");
    QTest::newRow("plain address") << QStringLiteral("emailLineEdit") << QStringLiteral("admin@example.org") << QStringLiteral("admin@example.org");
    QTest::newRow("Cyrillic address") << QStringLiteral("emailLineEdit") << QStringLiteral("почта@пример.рф") << QStringLiteral("почта@пример.рф");
    QTest::newRow("digits and underscore") << QStringLiteral("emailLineEdit") << QStringLiteral("adm_1@host2.org") << QStringLiteral("adm_1@host2.org");
    QTest::newRow("dot before @ cannot be typed") << QStringLiteral("emailLineEdit") << QStringLiteral("first.last@example.org")
                                                  << QStringLiteral("firstlast@example.org");
    QTest::newRow("hyphen before @ cannot be typed") << QStringLiteral("emailLineEdit") << QStringLiteral("first-last@example.org")
                                                     << QStringLiteral("firstlast@example.org");
    QTest::newRow("second dot after @ cannot be typed")
        << QStringLiteral("emailLineEdit") << QStringLiteral("admin@mail.example.org") << QStringLiteral("admin@mail.exampleorg");
    QTest::newRow("second @ cannot be typed") << QStringLiteral("emailLineEdit") << QStringLiteral("a@b@c.org") << QStringLiteral("a@bc.org");
    QTest::newRow("leading @ cannot be typed") << QStringLiteral("emailLineEdit") << QStringLiteral("@admin") << QStringLiteral("admin");
    QTest::newRow("partial address stays") << QStringLiteral("emailLineEdit") << QStringLiteral("admin@host") << QStringLiteral("admin@host");
}

void KeyDialogTest::validators()
{
    QFETCH(QString, field);
    QFETCH(QString, keys);
    QFETCH(QString, expected);
    QCOMPARE(typed(qPrintable(field), keys), expected);
}

void KeyDialogTest::nameLength_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("empty") << QString() << false;
    QTest::newRow("4 characters") << QStringLiteral("Adam") << false;
    QTest::newRow("4 Cyrillic characters") << QStringLiteral("Иван") << false;
    QTest::newRow("5 characters") << QStringLiteral("Admin") << true;
    QTest::newRow("5 Cyrillic characters") << QStringLiteral("Ивана") << true;
}

void KeyDialogTest::nameLength()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);

    FakeHelperBackend backend;
    StandInProgram program("printf F00D");
    KeyManager::setProgramForTesting(program.path());
    KeyManager manager;
    KeyDialog dialog(&manager);
    dialog.show();

    const Run run = fillAndConfirm(dialog, name, QString(), QString());

    if (accepted) {
        QCOMPARE(run.boxTexts, QStringList {QStringLiteral("Key generated successfully.\nFingerprint: F00D")});
        QCOMPARE(backend.callNames(), QStringList {AccessAction});
        QVERIFY(program.wasRun());
    } else {
        QCOMPARE(run.boxTexts, QStringList {ShortNameText});
        QVERIFY(run.enabledDuringBox);
        QVERIFY(backend.calls().isEmpty());
        QVERIFY(!program.wasRun());
        QVERIFY(dialog.isVisible());
        QCOMPARE(lineEdit(dialog, "nameLineEdit")->text(), name);
    }
}

void KeyDialogTest::successClosesAsAccepted()
{
    FakeHelperBackend backend;
    StandInProgram program("printf '0123456789ABCDEF\\n'");
    KeyManager::setProgramForTesting(program.path());
    KeyManager manager;
    KeyDialog dialog(&manager);

    ModalAnswerer answerer;
    answerer.answer([](QWidget *window) {
        auto dialog = qobject_cast<KeyDialog *>(window);
        QTest::keyClicks(lineEdit(*dialog, "nameLineEdit"), QStringLiteral("Administrator"));
        // Pressed once this poll is over, so that the box that follows can be answered too.
        QMetaObject::invokeMethod(button(*dialog, QDialogButtonBox::Ok), "click", Qt::QueuedConnection);
    });
    bool enabledDuringBox = true;
    answerer.answer([&dialog, &enabledDuringBox](QWidget *box) {
        enabledDuringBox = dialog.isEnabled();
        ModalAnswerer::pressButton(box, QDialogButtonBox::Ok);
    });

    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(answerer.seenTexts(), QStringList {QStringLiteral("Key generated successfully.\nFingerprint: 0123456789ABCDEF")});
    QVERIFY(!enabledDuringBox);
    QVERIFY(!dialog.isVisible());
}

void KeyDialogTest::failureKeepsDialogOpen_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("accessRefused");
    QTest::addColumn<QStringList>("boxTexts");

    QTest::newRow("key program fails") << QByteArray("printf 'GPG Agent Bad passphrase'; exit 1") << false
                                       << QStringList {QStringLiteral("Key generation error:\nGPG Agent Bad passphrase")};
    QTest::newRow("access refused") << QByteArray("printf F00D") << true << QStringList();
}

void KeyDialogTest::failureKeepsDialogOpen()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, accessRefused);
    QFETCH(QStringList, boxTexts);

    FakeHelperBackend backend;
    HelperScript refused;
    refused.error = accessRefused ? 1 : 0;
    refused.errorText = accessRefused ? QStringLiteral("not authorized") : QString();
    backend.script(AccessAction, refused);
    StandInProgram program(script);
    KeyManager::setProgramForTesting(program.path());
    KeyManager manager;
    KeyDialog dialog(&manager);
    dialog.show();

    const Run run = fillAndConfirm(dialog, QStringLiteral("Administrator"), QStringLiteral("admin@example.org"), QStringLiteral("note"));

    QCOMPARE(run.boxTexts, boxTexts);
    // The form is locked while the error box is up, and open again after it.
    QCOMPARE(run.enabledDuringBox, boxTexts.isEmpty());
    QCOMPARE(program.wasRun(), !accessRefused);
    QVERIFY(dialog.isVisible());
    QVERIFY(dialog.isEnabled());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(lineEdit(dialog, "nameLineEdit")->text(), QStringLiteral("Administrator"));
    QCOMPARE(lineEdit(dialog, "emailLineEdit")->text(), QStringLiteral("admin@example.org"));
    QCOMPARE(lineEdit(dialog, "commentLineEdit")->text(), QStringLiteral("note"));
}

void KeyDialogTest::valuesSentAsTyped_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("comment");

    QTest::newRow("empty email and comment") << QString() << QString();
    QTest::newRow("partial email") << QStringLiteral("admin@host") << QString();
    QTest::newRow("all values") << QStringLiteral("admin@example.org") << QStringLiteral("build server");
}

void KeyDialogTest::valuesSentAsTyped()
{
    QFETCH(QString, email);
    QFETCH(QString, comment);

    FakeHelperBackend backend;
    StandInProgram program("printf F00D");
    KeyManager::setProgramForTesting(program.path());
    KeyManager manager;
    KeyDialog dialog(&manager);
    dialog.show();

    fillAndConfirm(dialog, QStringLiteral("Administrator"), email, comment);

    QCOMPARE(program.arguments(),
        (QStringList {QStringLiteral("/usr/lib/kauth/libexec/keywright"), QStringLiteral("--genkey"), QStringLiteral("Administrator"), email, comment}));
}

void KeyDialogTest::cancelRejects()
{
    FakeHelperBackend backend;
    KeyManager manager;
    KeyDialog dialog(&manager);
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Cancel);
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY(backend.calls().isEmpty());
}

QTEST_MAIN(KeyDialogTest)

#include "keydialogtest.moc"
