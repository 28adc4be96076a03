#pragma once
// The main window's live tables: the session table and the command queue,
// shown as they change. The core tells about each change; every change costs
// one row insert or removal in the view, never a rebuild, so thousands of
// sessions or queued commands keep the window responsive.
#include <QAbstractTableModel>

#include "net/modSessionManager.h"
#include "protocol/modCommandQueueManager.h"

// Columns Session, IP, Socket (lstSessionsSession, lstSessionsIP,
// lstSessionsSocket).
class SessionTableModel : public QAbstractTableModel, public SessionTableObserver {
    Q_OBJECT
public:
    explicit SessionTableModel(QObject* parent = nullptr);
    ~SessionTableModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void SessionAppended(const SessionRow& row) override;
    void SessionRemoved(size_t rowIndex) override;
    void SessionsCleared() override;

private:
    // The rows the view knows of; the core's table has already changed when
    // we are told, so the count the view sees is kept here.
    int rows_ = 0;
};

// Columns Session, Prefix, Command, Parameter, Terminator, Valid: the six
// fields of a queued command stay on one row (lstCQSession, lstCQPrefix,
// lstCQCommand, lstCQParameter, lstCQTermChar, lstCQIsValidCommand).
class CommandQueueModel : public QAbstractTableModel, public CommandQueueObserver {
    Q_OBJECT
public:
    explicit CommandQueueModel(QObject* parent = nullptr);
    ~CommandQueueModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void CommandAppended(const CommandRecord& record) override;
    void HeadRemoved() override;
    void QueueChanged() override;

private:
    int rows_ = 0;
};

// How a terminator is shown in the table: "CR LF", "CR", "LF", "NUL".
QString TerminatorName(const std::string& terminator);
// A field as one table line: control characters shown as blanks and a huge
// parameter cut, so one pasted megabyte cannot stall the painting.
QString TableText(const std::string& field);
