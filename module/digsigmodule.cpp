#include "digsigmodule.h"

#include "digsigcontrolpanel.h"
#include "digsigmanager.h"
#include "guimanager.h"
#include "helperactivity.h"
#include "helperbusynotice.h"
#include "helpercall.h"
#include "helperjob.h"
#include "keymanager.h"
#include "signaturescandialog.h"
#include "signingwidget.h"
#include "updatereportnotice.h"

#include <kcmos/messagesmanager.h>
#include <kcmos/statewidget.h>

#include <KLocalizedString>

#include <KMessageWidget>

#include <QIcon>
#include <QMessageBox>
#include <QProcess>
#include <QScopeGuard>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr int ChangeTimeout = 480000;
constexpr int RebootToolWait = 30000;

QString &rebootTool()
{
    static QString program = QStringLiteral("/usr/bin/tovi-wmfunc");
    return program;
}
}

struct DigsigModule::Form
{
    QVBoxLayout *verticalLayout;
};

DigsigModule::DigsigModule(QWidget *parent, const QVariantList &args)
    : KCMSS::SecurityKCModule(QStringLiteral("orlis_kcm_digsig"), parent, args)
    , m_form(new Form)
{
    if (objectName().isEmpty()) {
        setObjectName(QStringLiteral("DigsigModule"));
    }
    resize(451, 446);
    m_form->verticalLayout = new QVBoxLayout(this);
    m_form->verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    m_form->verticalLayout->setContentsMargins(0, 0, 0, 0);
    QMetaObject::connectSlotsByName(this);

    setResetButtonVisible(true);
}

DigsigModule::~DigsigModule()
{
    delete m_form;
}

void DigsigModule::setRebootToolForTesting(const QString &program)
{
    rebootTool() = program;
}

void DigsigModule::defaults() { }

void DigsigModule::access()
{
    if (m_manager) {
        m_manager->gui()->resetSettings();
    } else {
        // The import runs on by itself once started; nobody waits for its outcome.
        KeyManager().importZelmarkKeys();
        m_manager = new Digsigmanager(this);
        connect(m_manager->controlPanel(), &DigSigControlPanel::modifyed, this, &DigsigModule::setModified, Qt::DirectConnection);
        connect(HelperActivity::instance(), &HelperActivity::changed, this, &DigsigModule::followHelper);
        inflateWidgets();
    }
    stateWidget()->resetState();
}

void DigsigModule::change()
{
    // The host marks the page unchanged once this returns; edits that are still pending
    // (a declined or failed apply) light Apply again after that.
    const auto announceAfterwards = qScopeGuard([this] { QTimer::singleShot(0, this, &DigsigModule::announcePendingEdits); });
    const QString busyWith = HelperActivity::instance()->description(HelperCall::DigsigNamespace);
    if (!busyWith.isEmpty()) {
        showMessage(i18nd("orlis_kcm_digsig", "The settings were not applied, the helper is busy: %1", busyWith), KCMOS::Warning);
        return;
    }
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace, ChangeTimeout);
    const QVariantHash settings = m_manager ? m_manager->dataToChange() : QVariantHash();
    if (settings.isEmpty()) {
        stateWidget()->waitState(KCMOS::Idle);
        return;
    }
    action.addArgument(QStringLiteral("change_digsig"), settings);

    HelperJob *job = HelperCall::execute(action);
    const bool succeeded = job->exec();
    if (!succeeded) {
        qCritical("Error code %s, text: \"%s\"!", qPrintable(QString::number(job->error())), qPrintable(job->errorString()));
    }
    showApplyOutcome(succeeded);
    if (succeeded) {
        // What was applied is what the files hold now.
        m_manager->gui()->resetSettings();
        rebootRequest();
    }

    stateWidget()->resetState();
    static_cast<SigningWidget *>(m_manager->gui()->widgetById(GuiManager::Signing))->setupTable();
}

void DigsigModule::announcePendingEdits()
{
    if (m_manager) {
        setModified(m_manager->gui()->hasPendingEdits());
    }
}

void DigsigModule::setModified(bool modified)
{
    m_modified = modified;
    Q_EMIT changed(m_modified && !m_helperBusy);
}

void DigsigModule::followHelper()
{
    const bool busy = HelperActivity::instance()->isBusy(HelperCall::DigsigNamespace);
    if (busy != m_helperBusy) {
        m_helperBusy = busy;
        Q_EMIT changed(m_modified && !m_helperBusy);
    }
}

void DigsigModule::inflateWidgets()
{
    auto tabs = new QTabWidget;
    auto signing = static_cast<SigningWidget *>(m_manager->gui()->widgetById(GuiManager::Signing));
    connect(signing, &SigningWidget::finishUpdate, this, &DigsigModule::onUpdateFinished);
    connect(signing, &SigningWidget::updateWarning, this, [this](const QString &warning) { m_updateWarnings.append(warning); });
    connect(m_manager->gui(), &GuiManager::signingStarts, tabs, [tabs, signing]() { tabs->setCurrentWidget(signing); });

    tabs->addTab(signing, QIcon::fromTheme(QStringLiteral("application-pgp-signature")), i18nd("orlis_kcm_digsig", "Signing"));
    tabs->addTab(m_manager->gui()->widgetById(GuiManager::Keys), QIcon::fromTheme(QStringLiteral("application-pgp-keys")), i18nd("orlis_kcm_digsig", "Keys"));
    tabs->tabBar()->setDocumentMode(true);
    tabs->tabBar()->setExpanding(true);

    m_form->verticalLayout->addWidget(m_manager->gui()->widgetById(GuiManager::ControlPanel));
    m_form->verticalLayout->addWidget(new HelperBusyNotice(HelperCall::DigsigNamespace));
    auto updateReport = new UpdateReportNotice;
    connect(updateReport, &UpdateReportNotice::signRequested, this, [this, tabs, signing](const QStringList &files) {
        tabs->setCurrentWidget(signing);
        signing->signFiles(files, SignatureScanDialog::elfSignMode(m_manager->controlPanel()->data().verifyMode()));
    });
    m_form->verticalLayout->addWidget(updateReport);
    updateReport->setVisible(updateReport->hasUnseenReport());
    m_form->verticalLayout->addWidget(tabs);
}

void DigsigModule::onUpdateFinished(bool finished, const QString &error)
{
    if (!finished) {
        m_updateWarnings.clear();
        stateWidget()->waitState(KCMOS::Busy);
        return;
    }
    stateWidget()->waitState(KCMOS::Idle);
    if (error.isEmpty() && !m_updateWarnings.isEmpty()) {
        showMessage(i18nd("orlis_kcm_digsig", "Applying changes occurred with warnings ").trimmed(), KCMOS::Warning, m_updateWarnings.join(QLatin1Char('\n')));
        return;
    }
    showApplyOutcome(error.isEmpty());
}

void DigsigModule::showApplyOutcome(bool succeeded)
{
    if (succeeded) {
        showMessage(i18nd("orlis_kcm_digsig", "Changes applied successfully"), KCMOS::Positive);
    } else {
        showMessage(i18nd("orlis_kcm_digsig", "Applying changes occurred with errors"), KCMOS::Error);
    }
}

// Only the latest outcome stands: the ones before it no longer tell the state.
void DigsigModule::showMessage(const QString &text, KCMOS::MessageType type, const QString &details)
{
    const auto shown = messagesManager()->messages();
    for (KMessageWidget *earlier : shown) {
        // Out of the message area's layout first: it forgets only a widget that is still whole.
        earlier->setParent(nullptr);
        delete earlier;
    }
    messagesManager()->newMessage(text, type, details, KCMOS::Idle);
}

void DigsigModule::rebootRequest() const
{
    const auto answer = QMessageBox::question(nullptr, i18nd("orlis_kcm_digsig", "Reboot system"),
        i18nd("orlis_kcm_digsig", "To apply settings need reboot system.\nReboot now?"), QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes) {
        return;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QStringLiteral("/run/user/%1").arg(qEnvironmentVariable("SUDO_UID")));
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(rebootTool(), {QStringLiteral("TOVIWM_REBOOT")}, QIODevice::ReadWrite);
    tool.waitForFinished(RebootToolWait);
}
