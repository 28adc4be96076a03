// The live tables follow the session table and the queue change by change.
#include <QAbstractItemModel>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>

#include "app/frmMain.h"
#include "app/frmMainTables.h"
#include "net/modSessionManager.h"
#include "tests/gui/GuiTest.h"

namespace {

// Dispatches events until `done` holds or a generous deadline passes.
template <typename Pred>
bool WaitFor(Pred done) {
    QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

class TablesTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        window = std::make_unique<frmMain>();
    }
    void TearDown() override {
        window.reset();
        GuiTest::TearDown();
    }
    QAbstractItemModel* Queue() const { return window->tblQueue->model(); }
    QAbstractItemModel* Sessions() const { return window->tblSessions->model(); }
    QString Cell(QAbstractItemModel* m, int row, int column) const {
        return m->data(m->index(row, column)).toString();
    }
    std::unique_ptr<frmMain> window;
};

TEST_F(TablesTest, QueueRowsKeepTheSixFieldsTogether) {
    AddCommand("7 VERSION now", 3, "\n");
    AddCommand("SHOW_CONSOLE OFF", 0, std::string_view("\0", 1));
    AddCommand("FOO", -1, "\r\n");
    QAbstractItemModel* m = Queue();
    ASSERT_EQ(m->rowCount(), 3);
    ASSERT_EQ(m->columnCount(), 6);
    const QStringList first = {Cell(m, 0, 0), Cell(m, 0, 1), Cell(m, 0, 2),
                               Cell(m, 0, 3), Cell(m, 0, 4), Cell(m, 0, 5)};
    EXPECT_EQ(first, (QStringList{"3", "7", "VERSION", "now", "LF", "VERSION"}));
    EXPECT_EQ(Cell(m, 1, 4), "NUL");
    EXPECT_EQ(Cell(m, 2, 4), "CR LF");
    EXPECT_EQ(Cell(m, 2, 5), "") << "an unrecognised command has no keyword";

    ProcessCommandQueue();
    EXPECT_EQ(m->rowCount(), 0);
    EXPECT_FALSE(m->data(m->index(0, 0)).isValid());
}

TEST_F(TablesTest, ThousandsOfCommandsCostOneRowChangeEach) {
    QAbstractItemModel* m = Queue();
    QSignalSpy inserted(m, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(m, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(m, &QAbstractItemModel::modelReset);
    constexpr int kCommands = 5000;
    for (int i = 0; i < kCommands; ++i) AddCommand("#VERBOSE 0", 1000 + i, "\r\n");
    EXPECT_EQ(m->rowCount(), kCommands);
    EXPECT_EQ(inserted.count(), kCommands);
    for (const QList<QVariant>& args : inserted) EXPECT_EQ(args.at(1).toInt(), args.at(2).toInt());
    EXPECT_EQ(Cell(m, kCommands - 1, 0), QString::number(1000 + kCommands - 1));
    // Sessions 1000.. have gone: the loop drops every command from the head.
    ProcessCommandQueue();
    EXPECT_EQ(m->rowCount(), 0);
    EXPECT_EQ(removed.count(), kCommands);
    EXPECT_EQ(reset.count(), 0) << "the table is never rebuilt as a whole per change";
}

TEST_F(TablesTest, LongParameterIsCutForDisplay) {
    AddCommand("VERSION " + std::string(1 << 20, 'x') + "\r\n", 1, "\r\n");
    const QString shown = Cell(Queue(), 0, 3);
    EXPECT_LT(shown.size(), 300);
    EXPECT_TRUE(shown.startsWith("xxxx")) << shown.left(40).toStdString();
    EXPECT_FALSE(shown.contains('\r'));
}

TEST_F(TablesTest, SessionRowsFollowConnections) {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    Settings.ListeningPort = probe.serverPort();
    probe.close();
    InitSessionManager();
    ASSERT_FALSE(FatalError) << NewLog();

    QAbstractItemModel* m = Sessions();
    const int before = m->rowCount();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, Settings.ListeningPort);
    ASSERT_TRUE(WaitFor([&] { return m->rowCount() == before + 1; })) << NewLog();
    EXPECT_EQ(Cell(m, before, 1), "127.0.0.1");
    EXPECT_EQ(Cell(m, before, 0).toInt(), SessionTable().back().session);
    EXPECT_EQ(Cell(m, before, 2).toInt(), SessionTable().back().socket);

    client.disconnectFromHost();
    EXPECT_TRUE(WaitFor([&] { return m->rowCount() == before; })) << NewLog();
}

}  // namespace
