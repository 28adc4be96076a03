#include "app/frmMainTables.h"

#include "core/Ansi.h"

namespace {
constexpr size_t kMaxShownChars = 256;
}

QString TerminatorName(const std::string& terminator) {
    if (terminator == "\r\n") return QStringLiteral("CR LF");
    if (terminator == "\r") return QStringLiteral("CR");
    if (terminator == "\n") return QStringLiteral("LF");
    if (terminator.empty() || terminator == std::string(1, '\0')) return QStringLiteral("NUL");
    return TableText(terminator);
}

QString TableText(const std::string& field) {
    const bool cut = field.size() > kMaxShownChars;
    QString text = AnsiToQString(std::string_view(field).substr(0, kMaxShownChars));
    for (QChar& c : text)
        if (c.unicode() < 32) c = QLatin1Char(' ');
    if (cut) text += QChar(0x2026);  // ellipsis
    return text;
}

SessionTableModel::SessionTableModel(QObject* parent) : QAbstractTableModel(parent) {
    rows_ = static_cast<int>(SessionTable().size());
    SetSessionTableObserver(this);
}

SessionTableModel::~SessionTableModel() { SetSessionTableObserver(nullptr); }

int SessionTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }
int SessionTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant SessionTableModel::data(const QModelIndex& index, int role) const {
    const auto& table = SessionTable();
    if (role != Qt::DisplayRole || index.row() < 0 || static_cast<size_t>(index.row()) >= table.size())
        return {};
    const SessionRow& row = table[static_cast<size_t>(index.row())];
    switch (index.column()) {
        case 0: return row.session;
        case 1: return TableText(row.label);
        case 2: return row.socket;
        default: return {};
    }
}

QVariant SessionTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const names[] = {"Session", "IP", "Socket"};
    return section >= 0 && section < 3 ? QString::fromLatin1(names[section]) : QVariant();
}

void SessionTableModel::SessionAppended(const SessionRow&) {
    beginInsertRows({}, rows_, rows_);
    ++rows_;
    endInsertRows();
}

void SessionTableModel::SessionRemoved(size_t rowIndex) {
    if (rowIndex >= static_cast<size_t>(rows_)) return;
    const int row = static_cast<int>(rowIndex);
    beginRemoveRows({}, row, row);
    --rows_;
    endRemoveRows();
}

void SessionTableModel::SessionsCleared() {
    beginResetModel();
    rows_ = static_cast<int>(SessionTable().size());
    endResetModel();
}

CommandQueueModel::CommandQueueModel(QObject* parent) : QAbstractTableModel(parent) {
    rows_ = static_cast<int>(CommandQueue().size());
    SetCommandQueueObserver(this);
}

CommandQueueModel::~CommandQueueModel() { SetCommandQueueObserver(nullptr); }

int CommandQueueModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }
int CommandQueueModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 6; }

QVariant CommandQueueModel::data(const QModelIndex& index, int role) const {
    const auto& queue = CommandQueue();
    if (role != Qt::DisplayRole || index.row() < 0 || static_cast<size_t>(index.row()) >= queue.size())
        return {};
    const CommandRecord& record = queue[static_cast<size_t>(index.row())];
    switch (index.column()) {
        case 0: return record.session;
        case 1: return TableText(record.prefix);
        case 2: return TableText(record.command);
        case 3: return TableText(record.parameter);
        case 4: return TerminatorName(record.terminator);
        case 5: return TableText(record.validity);
        default: return {};
    }
}

QVariant CommandQueueModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const names[] = {"Session", "Prefix", "Command", "Parameter", "Terminator", "Valid"};
    return section >= 0 && section < 6 ? QString::fromLatin1(names[section]) : QVariant();
}

void CommandQueueModel::CommandAppended(const CommandRecord&) {
    beginInsertRows({}, rows_, rows_);
    ++rows_;
    endInsertRows();
}

void CommandQueueModel::HeadRemoved() {
    if (rows_ == 0) return;
    beginRemoveRows({}, 0, 0);
    --rows_;
    endRemoveRows();
}

void CommandQueueModel::QueueChanged() {
    beginResetModel();
    rows_ = static_cast<int>(CommandQueue().size());
    endResetModel();
}
