#pragma once

#include "bsign.h"
#include "selectedpaths.h"

#include <QList>
#include <QModelIndex>
#include <QPersistentModelIndex>
#include <QStringList>
#include <QWidget>

class DigSigControlPanel;
class FilteredTreeProxyModel;
class SignFileModel;
namespace Ui {
class SigningWidget;
}

// The signing tab: the root file system as a tree with signature columns and check boxes,
// the choice of signature kinds, and the signing flow behind "Sign".
class SigningWidget : public QWidget
{
    Q_OBJECT
public:
    explicit SigningWidget(DigSigControlPanel *panel, QWidget *parent = nullptr);
    ~SigningWidget() override;

    // Builds or rebuilds the model chain and the tree view.
    void setupTable();

    // Whether the flow may go on: asks once when a path lies in a system directory.
    bool checkUnsafeSelectedPaths(const QStringList &paths);

Q_SIGNALS:
    // Start (finished false) and end (finished true, the error text) of the background
    // refresh of the boot-time verification list.
    void finishUpdate(bool finished, const QString &error);
    // One warning of the running boot-list update.
    void updateWarning(const QString &warning);

public:
    // The signing flow for exactly the given files, with the given kinds of signature chosen.
    void signFiles(const QStringList &files, Bsign::SignMode mode);

    // The templates text with every template that it does not hold yet added at its end.
    static QString withTemplates(const QString &current, const QStringList &templates);

public Q_SLOTS:
    void showSigningDialog();
    void controlWidgetChanged();

private:
    void checkCommonAccess();
    void signSelection(const QStringList &paths, const SelectedPaths &selected, const QList<QPersistentModelIndex> &signedEntries, Bsign::SignMode mode);
    QList<QModelIndex> mappedIndexes(const QList<QModelIndex> &indexes) const;
    QStringList indexesToPaths(const QList<QModelIndex> &indexes) const;
    SelectedPaths selectedPaths(const QList<QModelIndex> &indexes) const;
    Bsign::SignMode signMode() const;
    bool runSigningDialogAndCheckCompleted(const QString &keyId, const SelectedPaths &paths, Bsign::SignMode mode, bool saveLog, QStringList *signedTemplates);
    void maybeAskAboutUpdateInitramfs(Bsign::SignMode mode, const QStringList &signedTemplates);
    void askAboutUpdateInitramfs(const QStringList &signedTemplates);
    bool addTemplates(const QStringList &templates);
    void updateInitramfs();
    void setRunningSigning(bool running);
    bool signingModeIncludeXattr(Bsign::SignMode mode) const;

    Ui::SigningWidget *m_ui;
    FilteredTreeProxyModel *m_proxy = nullptr;
    SignFileModel *m_model = nullptr;
    DigSigControlPanel *m_panel;
};
