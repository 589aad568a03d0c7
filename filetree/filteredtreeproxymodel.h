#pragma once

#include "checkabletreeproxymodel.h"

#include <QHash>
#include <QStringList>

class QFileInfo;

// The proxy of the signing tab's file tree: with the ELF-only switch on it hides every
// file that is not an ELF file; directories always stay visible.
class FilteredTreeProxyModel : public CheckableTreeProxyModel
{
    Q_OBJECT
public:
    explicit FilteredTreeProxyModel(QObject *parent = nullptr);
    ~FilteredTreeProxyModel() override;

    void showOnlyElf(bool on);
    void setIsSigningRunning(bool running);

    // Reads the first bytes of a file this process can read.
    static bool isElf(const QFileInfo &info);
    // Asks the privileged helper about a file this process cannot read.
    static bool isElf(const QString &path);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    bool acceptsUnreadable(const QString &path) const;
    void askHelperAboutPendingFiles();
    static bool isHelperBusy();

    bool m_showOnlyElf = false;
    bool m_isSigningRunning = false;
    bool m_filterOutdated = false;
    void forgetAnswersIn(const QModelIndex &sourceDirectory);

    // Helper answers by path, kept for the life of the tree; those about a directory's
    // files are forgotten when its contents change.
    mutable QHash<QString, bool> m_helperAnswers;
    mutable QStringList m_pendingPaths;
    QString m_pathInQuestion;
    mutable bool m_helperQuestionScheduled = false;
    bool m_askingHelper = false;
};
