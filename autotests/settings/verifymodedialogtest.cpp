#include "verifymodedialog.h"
#include "modalanswerer.h"

#include <KMessageWidget>

#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace {
const QStringList ChoiceNames = {
    QStringLiteral("onlyElf"),
    QStringLiteral("onlyXattr"),
    QStringLiteral("fallback"),
    QStringLiteral("any"),
    QStringLiteral("all"),
};
const QString WarningText = QStringLiteral("All unsigned files can not be started after reboot system.");

QRadioButton *choice(const QDialog &dialog, int id)
{
    return dialog.findChild<QRadioButton *>(ChoiceNames.value(id));
}

QPushButton *okButton(const QDialog &dialog)
{
    return dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Ok);
}

// A person clicks a radio button on its indicator or label, not in the empty space beside it.
void clickRadio(QRadioButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
}

bool showsWarning(int id)
{
    return id == 1 || id == 4;
}

// Clicks a choice like a person; answers the warning box that choices 1 and 4 open.
// Returns the number of warning boxes that appeared.
int clickChoice(const QDialog &dialog, int id)
{
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Ok);
    clickRadio(choice(dialog, id));
    return answerer.answeredCount();
}
}

class VerifyModeDialogTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void form();
    void choices_data();
    void choices();
    void initialChoice_data();
    void initialChoice();
    void okRule_data();
    void okRule();
    void everyRiskyClickWarns_data();
    void everyRiskyClickWarns();
    void safeChoicesDoNotWarn();
    void controlModeGatesChoices_data();
    void controlModeGatesChoices();
    void textByModeId_data();
    void textByModeId();
    void acceptedDialogGivesChoice();
    void cancelledDialog();
};

void VerifyModeDialogTest::form()
{
    const VerifyModeDialog dialog(VerificationModeId::OnlyElf, ControllMode::Off);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Verify mode"));
    QCOMPARE(dialog.size(), QSize(553, 359));
    QCOMPARE(dialog.maximumSize(), QSize(640, 380));

    auto message = dialog.findChild<KMessageWidget *>(QStringLiteral("kmessagewidget"));
    QVERIFY(message);
    QCOMPARE(message->messageType(), KMessageWidget::Warning);
    QVERIFY(message->wordWrap());
    QVERIFY(!message->isCloseButtonVisible());
    QCOMPARE(message->text(),
        QStringLiteral("To configure the Signature \"Verification Mode parameter\", you must switch the \"Executable File Control\" parameter to the "
                       "Enabled or Debug mode."));

    auto buttonBox = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    QVERIFY(buttonBox);
    QCOMPARE(buttonBox->orientation(), Qt::Horizontal);
    QCOMPARE(buttonBox->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QVERIFY(!okButton(dialog)->isEnabled());
}

void VerifyModeDialogTest::choices_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::newRow("onlyElf") << 0 << QStringLiteral("Check only ELF signature")
                             << QStringLiteral("Only the ELF signature is verified.\nAbsence or incorrect signature execution is prohibited");
    QTest::newRow("onlyXattr") << 1 << QStringLiteral("Check only XATTR signature")
                               << QStringLiteral(
                                      "There may be problems starting the system!\nOnly the XATTR signature is verified.\nThe absence or incorrect signature "
                                      "prohibits execution");
    QTest::newRow("fallback") << 2 << QStringLiteral("Checking the first signature type found for a file")
                              << QStringLiteral(
                                     "The signature search is performed in the following order:\n1) ELF signature;\n2) XATTR signature;\n3) Detached "
                                     "signature.\nThe execution is prohibited if the signature is incorrect or there is no any signature");
    QTest::newRow("any") << 3 << QStringLiteral("Checking all types of signatures until the correct one is found")
                         << QStringLiteral(
                                "The ELF signature is verified.\nIf there is no ELF signature or it is incorrect, the XATTR signature is checked.\nIf there "
                                "is no XATTR signature or it is incorrect, the detached signature is checked.\nExecution is allowed if at least one "
                                "signature is true");
    QTest::newRow("all") << 4 << QStringLiteral("Check ELF and XATTR signatures")
                         << QStringLiteral(
                                "There may be problems starting the system!\nBoth signatures are verified.\nIf at least one is incorrect or missing, "
                                "execution is prohibited.\nExecution is permitted if both signatures are present and correct.\nA very difficult mode for "
                                "the system");
}

void VerifyModeDialogTest::choices()
{
    QFETCH(int, id);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    const VerifyModeDialog dialog(VerificationModeId::Invalid, ControllMode::On);
    QRadioButton *button = choice(dialog, id);
    QVERIFY(button);
    QCOMPARE(button->text(), text);
    QCOMPARE(button->toolTip(), toolTip);
    QCOMPARE(!button->icon().isNull(), showsWarning(id));
}

void VerifyModeDialogTest::initialChoice_data()
{
    QTest::addColumn<int>("initial");
    QTest::newRow("none") << -1;
    for (int id = 0; id <= 4; ++id) {
        QTest::newRow(qPrintable(ChoiceNames.at(id))) << id;
    }
}

void VerifyModeDialogTest::initialChoice()
{
    QFETCH(int, initial);
    const VerifyModeDialog dialog(static_cast<VerificationModeId>(initial), ControllMode::Debug);
    QCOMPARE(dialog.selectedId(), initial);
    for (int id = 0; id <= 4; ++id) {
        QCOMPARE(choice(dialog, id)->isChecked(), id == initial);
    }
}

void VerifyModeDialogTest::okRule_data()
{
    QTest::addColumn<int>("initial");
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<bool>("okEnabled");
    QTest::newRow("initial again") << 0 << QList<int> {0} << false;
    QTest::newRow("another") << 0 << QList<int> {2} << true;
    QTest::newRow("another, then initial") << 3 << QList<int> {2, 3} << false;
    QTest::newRow("initial, then another") << 3 << QList<int> {3, 0} << true;
    QTest::newRow("risky choice") << 2 << QList<int> {4} << true;
    QTest::newRow("risky initial again") << 1 << QList<int> {1} << false;
    QTest::newRow("from none") << -1 << QList<int> {0} << true;
}

void VerifyModeDialogTest::okRule()
{
    QFETCH(int, initial);
    QFETCH(QList<int>, clicks);
    QFETCH(bool, okEnabled);
    VerifyModeDialog dialog(static_cast<VerificationModeId>(initial), ControllMode::On);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    for (int id : qAsConst(clicks)) {
        QCOMPARE(clickChoice(dialog, id), showsWarning(id) ? 1 : 0);
    }
    QCOMPARE(okButton(dialog)->isEnabled(), okEnabled);
    QCOMPARE(dialog.selectedId(), clicks.last());
}

void VerifyModeDialogTest::everyRiskyClickWarns_data()
{
    QTest::addColumn<int>("id");
    QTest::newRow("onlyXattr") << 1;
    QTest::newRow("all") << 4;
}

void VerifyModeDialogTest::everyRiskyClickWarns()
{
    QFETCH(int, id);
    VerifyModeDialog dialog(static_cast<VerificationModeId>(id), ControllMode::On);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    for (int click = 0; click < 3; ++click) {
        ModalAnswerer answerer;
        answerer.press(QDialogButtonBox::Ok);
        clickRadio(choice(dialog, id));
        QCOMPARE(answerer.answeredCount(), 1);
        QCOMPARE(answerer.seenTitles(), QStringList {QStringLiteral("Warning")});
        QCOMPARE(answerer.seenTexts(), QStringList {WarningText});
    }
    QVERIFY(choice(dialog, id)->isChecked());
}

void VerifyModeDialogTest::safeChoicesDoNotWarn()
{
    VerifyModeDialog dialog(VerificationModeId::Invalid, ControllMode::On);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    for (int id : {0, 2, 3}) {
        QCOMPARE(clickChoice(dialog, id), 0);
    }
}

void VerifyModeDialogTest::controlModeGatesChoices_data()
{
    QTest::addColumn<ControllMode>("controlMode");
    QTest::addColumn<bool>("open");
    QTest::newRow("Off") << ControllMode::Off << false;
    QTest::newRow("On") << ControllMode::On << true;
    QTest::newRow("Debug") << ControllMode::Debug << true;
    QTest::newRow("Invalid") << ControllMode::Invalid << true;
}

void VerifyModeDialogTest::controlModeGatesChoices()
{
    QFETCH(ControllMode, controlMode);
    QFETCH(bool, open);
    VerifyModeDialog dialog(VerificationModeId::Fallback, controlMode);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    for (int id = 0; id <= 4; ++id) {
        QCOMPARE(choice(dialog, id)->isEnabled(), open);
    }
    QCOMPARE(dialog.findChild<KMessageWidget *>(QStringLiteral("kmessagewidget"))->isVisible(), !open);

    // A click on a disabled choice changes nothing.
    clickRadio(choice(dialog, 0));
    QCOMPARE(dialog.selectedId(), open ? 0 : 2);
    QCOMPARE(okButton(dialog)->isEnabled(), open);
}

void VerifyModeDialogTest::textByModeId_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << QStringLiteral("Check only ELF signature");
    QTest::newRow("1") << 1 << QStringLiteral("Check only XATTR signature");
    QTest::newRow("2") << 2 << QStringLiteral("Checking the first signature type found for a file");
    QTest::newRow("3") << 3 << QStringLiteral("Checking all types of signatures until the correct one is found");
    QTest::newRow("4") << 4 << QStringLiteral("Check ELF and XATTR signatures");
    QTest::newRow("-1") << -1 << QStringLiteral("Unknown");
    QTest::newRow("5") << 5 << QStringLiteral("Unknown");
}

void VerifyModeDialogTest::textByModeId()
{
    QFETCH(int, id);
    QFETCH(QString, text);
    const VerifyModeDialog dialog(VerificationModeId::Invalid, ControllMode::Off);
    QCOMPARE(dialog.selectedTextByModeId(static_cast<VerificationModeId>(id)), text);
}

void VerifyModeDialogTest::acceptedDialogGivesChoice()
{
    VerifyModeDialog dialog(VerificationModeId::OnlyElf, ControllMode::On);
    ModalAnswerer answerer;
    answerer.answer([](QWidget *window) {
        clickRadio(window->findChild<QRadioButton *>(QStringLiteral("any")));
        ModalAnswerer::pressButton(window, QDialogButtonBox::Ok);
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(dialog.selectedId(), 3);
}

void VerifyModeDialogTest::cancelledDialog()
{
    VerifyModeDialog dialog(VerificationModeId::OnlyElf, ControllMode::On);
    ModalAnswerer answerer;
    answerer.answer([](QWidget *window) {
        clickRadio(window->findChild<QRadioButton *>(QStringLiteral("any")));
        ModalAnswerer::pressButton(window, QDialogButtonBox::Cancel);
    });
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QCOMPARE(answerer.answeredCount(), 1);
}

QTEST_MAIN(VerifyModeDialogTest)

#include "verifymodedialogtest.moc"
