// The Widgets-free core on its own, linked with nothing but Qt Test: the port from Info.json, the
// server's environment, its folders, the legacy folders' move, the log's rotation and header, the
// probe's judgement, the listener owners, the desktop entry format and the name encoding.
#include "base/base_folders.h"
#include "base/file_calls.h"
#include "base/native_names.h"
#include "deadline.h"
#include "mode_server.h"
#include "probe/mode_request.h"
#include "probe/probe_answer.h"
#include "probe/socket_owner.h"
#include "server/group_guard.h"
#include "server/port_choice.h"
#include "server/runtime_folders.h"
#include "server/server_environment.h"
#include "server/server_log.h"
#include "session/desktop_entry.h"

#include <QEventLoop>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr auto native = encodeNativeName;

const auto writeFile = [](const QString& path, const QByteArray& contents) {
    return bool(std::ofstream(native(path).data()).write(contents.data(), contents.size()));
};

const auto readAll = [](const QString& path) {
    std::ifstream file(native(path).data());
    return QByteArray::fromStdString({std::istreambuf_iterator<char>(file), {}});
};

// The item itself, not a link's target.
const auto statusOf = [](const QString& path) {
    return std::filesystem::symlink_status(native(path).data());
};

// Its permission bits; -1 when nothing is there.
const auto openFiles = [] { return QDir(u"/proc/self/fd"_s).count(); };

const auto modeOf = [](const QString& path) {
    return exists(statusOf(path)) ? int(statusOf(path).permissions()) : -1;
};

// A fresh account under a temporary folder: HOME and the XDG homes point into it, its bundle and
// the shared temporary folder standing in for /tmp lie beside it. The places are spelled out
// here rather than asked of the code under test.
struct Account
{
    QTemporaryDir root;
    const QString home = root.filePath(u"home"_s) + u'/';
    const QString bundle = root.filePath(u"bundle"_s);
    const QString data = home + u".local/share/Tarvessa Audio Server"_s;
    const QString cache = home + u".cache/io.tarvessa.tarvessa-audio-server"_s;
    const QString log = home + u".local/state/Tarvessa Audio Server"_s;
    const QString caddy = root.filePath(u"tmp/tarvessa-caddy-%1"_s.arg(::getuid()));
    // The server's folders, in the order they are made.
    const QStringList folders =
        u"%1|%1/artwork-cache|%1/managed-caddy|%1/streaming-cache|%2|%3|%4"_s
            .arg(data, caddy, cache, log)
            .split(u'|');
    QProcessEnvironment environment;
    std::optional<BaseFolders> base;

    Account()
    {
        QDir(root.path()).mkpath(u"tmp"_s);
        environment.insert(u"HOME"_s, home.chopped(1));
        environment.insert(u"XDG_DATA_HOME"_s, home + u".local/share"_s);
        environment.insert(u"XDG_CACHE_HOME"_s, home + u".cache"_s);
        environment.insert(u"XDG_STATE_HOME"_s, home + u".local/state"_s);
    }
    // Fixed at the first call, so a test can change the environment first.
    RuntimeLocations locations()
    {
        if (!base)
            base.emplace(environment, bundle, root.filePath(u"tmp"_s));
        return RuntimeLocations(*base);
    }
};

enum class InfoFile
{
    Missing,
    Regular,
    Link,
    Fifo,
    LinkToDevZero
};
enum class Obstacle
{
    None,
    File,
    Link,
    AnotherUsersFolder
};

} // namespace

class CoreTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", "Pacific/Auckland"); // the log's header must not follow the local zone
        ::umask(022);
        ::tzset();
    }

    // "TarvessaServerPort", then "QuarleServerPort", each only as a whole JSON number from 1 to
    // 65535, then 2104; only a regular file is read, never past 1 MiB and never waited on.
    void portChoice_data()
    {
        QTest::addColumn<InfoFile>("file");
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<qint64>("port");
        QTest::addColumn<QString>("said"); // a part of what was wrong; empty: nothing
        const auto row = [](const char* tag, InfoFile file, const QByteArray& info, qint64 port,
                            const char* said) {
            QTest::newRow(tag) << file << info << port << QString::fromUtf8(said);
        };
        const auto info = [](const char* tarvessa, const char* quarle) {
            return "{" + (tarvessa ? "\"TarvessaServerPort\": "_ba + tarvessa + "," : ""_ba) +
                   "\"QuarleServerPort\": " + quarle + "}";
        };
        const QByteArray big = info("3000", "null").leftJustified(1 << 20, ' ');
        const char* notAPort = "TarvessaServerPort is not a port number from 1 to 65535";
        const char* notRegular = ": it is not a regular file";
        using enum InfoFile;
        row("no Info.json", Missing, {}, 2104, ": No such file or directory");
        row("both keys", Regular, info("3000", "4000"), 3000, "");
        row("the legacy key", Regular, info(nullptr, "4000"), 4000, "");
        row("text", Regular, info("\"3000\"", "4000"), 4000, notAPort);
        row("70000", Regular, info("70000", "4000"), 4000, notAPort);
        row("65536", Regular, info("65536", "4000"), 4000, notAPort);
        row("a fraction, a boolean", Regular, info("3000.5", "true"), 2104,
            "TarvessaServerPort and QuarleServerPort");
        row("0 and 65535", Regular, info("0", "65535"), 65535, notAPort);
        row("not JSON", Regular, info("3000", "4000").chopped(1), 2104, "not valid JSON");
        row("an array", Regular, "[3000]", 2104, "does not hold a JSON object");
        row("1 MiB", Regular, big, 3000, "");
        row("one byte more", Regular, big + ' ', 2104, ": it is larger than 1 MiB");
        row("a link to it", Link, info("3000", "4000"), 3000, "");
        row("a FIFO", Fifo, {}, 2104, notRegular);
        row("a link to /dev/zero", LinkToDevZero, {}, 2104, notRegular);
    }
    void portChoice()
    {
        QFETCH(InfoFile, file);
        QFETCH(QByteArray, info);
        QFETCH(qint64, port);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"Info.json"_s), target = dir.filePath(u"kept.json"_s);
        QVERIFY(file != InfoFile::Regular || writeFile(path, info));
        QVERIFY(file != InfoFile::Link || (writeFile(target, info) && QFile::link(target, path)));
        QVERIFY(file != InfoFile::Fifo || ::mkfifo(native(path).constData(), 0600) == 0);
        QVERIFY(file != InfoFile::LinkToDevZero || QFile::link(u"/dev/zero"_s, path));
        // A read that waits or never ends shows as this test's time running out. An interrupted
        // call before it leaves EINTR behind, which is no reason to read on.
        errno = EINTR;
        const uint before = openFiles();
        const PortChoice choice = choosePortFromFile(path);
        QCOMPARE(openFiles(), before);
        QCOMPARE(choice.port, port);
        const QString problem =
            choice.reading.ok() ? QString() : choice.reading.error().description;
        QVERIFY2(said.isEmpty() ? problem.isEmpty() : problem.contains(said), qPrintable(problem));
        QVERIFY(file != InfoFile::Link || readAll(target) == info); // nothing read is lost
    }

    // Everything inherited passes unchanged but sixteen variables; PATH puts the helpers first,
    // and a user's QUARLE_WRITE_BACK_ENABLED is kept, even empty.
    void serverEnvironment_data()
    {
        QTest::addColumn<QString>("path"); // inherited; null: absent
        QTest::addColumn<QString>("writeBack");
        QTest::addColumn<QString>("searchPath"); // what follows the helpers folder
        QTest::addColumn<QString>("writeBackGiven");
        const QString system = u"/usr/bin:/bin:/usr/sbin:/sbin"_s;
        const QString two = u"/opt/local/bin:/usr/bin"_s;
        QTest::newRow("both kept") << two << u"false"_s << two << u"false"_s;
        QTest::newRow("both empty") << u""_s << u""_s << system << u""_s;
        QTest::newRow("both absent") << QString() << QString() << system << u"true"_s;
    }
    void serverEnvironment()
    {
        QFETCH(QString, path);
        QFETCH(QString, writeBack);
        QFETCH(QString, searchPath);
        QFETCH(QString, writeBackGiven);
        Account a;
        if (!path.isNull())
            a.environment.insert(u"PATH"_s, path);
        if (!writeBack.isNull())
            a.environment.insert(u"QUARLE_WRITE_BACK_ENABLED"_s, writeBack);
        a.environment.insert(u"XDG_CACHE_HOME"_s, u"cache"_s); // not absolute: ignored
        for (const char* name : {"NODE_ENV", "PORT", "TMPDIR", "QUARLE_DB_PATH", "LC_TIME"})
            a.environment.insert(QLatin1String(name), u"inherited"_s);
        const QString helpers = a.bundle + u"/Resources/helpers"_s;
        const QStringList set =
            u"NODE_ENV=production|PORT=3210|QUARLE_APP_MODE=quarle|QUARLE_SECURE_COOKIES=auto|"
            "QUARLE_WRITE_BACK_ENABLED=%5|QUARLE_DB_PATH=%1/quarle.sqlite|"
            "QUARLE_ARTWORK_CACHE_DIR=%1/artwork-cache|QUARLE_MANAGED_CADDY_DIR=%1/managed-caddy|"
            "QUARLE_STREAMING_DERIVATIVE_DIR=%1/streaming-cache|QUARLE_MANAGED_CADDY_BIN=%2/caddy|"
            "QUARLE_TAG_WRITER_BIN=%2/quarle-tag-writer|QUARLE_MANAGED_CADDY_RUNTIME_DIR=%3|"
            "QUARLE_FOLDER_PICKER_BIN=%2/TarvessaFolderPicker|TMPDIR=%4|PATH=%2:%6|"
            "QUARLE_EXTERNAL_PROXY_CONFIG_PATH=%1/external-proxy.json"_s
                .arg(a.data, helpers, a.caddy, a.cache, writeBackGiven, searchPath)
                .split(u'|');
        QProcessEnvironment expected = a.environment;
        for (const QString& variable : set)
            expected.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
        QCOMPARE(buildServerEnvironment(a.environment, a.locations(), 3210).toStringList(),
                 expected.toStringList());
    }

    // The seven folders in order, twice without error, the Caddy runtime folder made private on
    // every start; a file in the way of any stops the creation there and is left as it was, and
    // a Caddy runtime folder that is a link or another user's is refused.
    void folders_data()
    {
        QTest::addColumn<Obstacle>("obstacle");
        QTest::addColumn<int>("at"); // in folders; 7: none
        QTest::addColumn<QString>("said");
        QTest::addColumn<int>("caddyMode"); // of the item itself; -1: none
        const QString exists = u"Cannot create the folder %1: File exists"_s;
        QTest::newRow("a fresh account") << Obstacle::None << 7 << QString() << 0700;
        for (int at : {0, 1, 2, 3, 5, 6})
            QTest::addRow("a file at folder %d", at)
                << Obstacle::File << at << exists << (at < 4 ? -1 : 0700);
        QTest::newRow("a file at the Caddy runtime folder")
            << Obstacle::File << 4 << u"Cannot create the folder %1: Not a directory"_s << 0644;
        QTest::newRow("a link at the Caddy runtime folder")
            << Obstacle::Link << 4 << u"Refusing to use the folder %1: it is a symbolic link"_s
            << 0777;
        QTest::newRow("another user's Caddy runtime folder")
            << Obstacle::AnotherUsersFolder << 4
            << u"Refusing to use the folder %1: it belongs to another user"_s << 0755;
    }
    void folders()
    {
        QFETCH(Obstacle, obstacle);
        QFETCH(int, at);
        QFETCH(QString, said);
        QFETCH(int, caddyMode);
        Account a;
        const QString target = a.root.filePath(u"target"_s); // a link's target keeps its mode
        const QByteArray there = native(a.folders.value(at));
        QVERIFY(::mkdir(native(target).constData(), 0755) == 0);
        QVERIFY(obstacle != Obstacle::File ||
                (QDir().mkpath(QFileInfo(a.folders[at]).path()) && writeFile(a.folders[at], "x")));
        QVERIFY(obstacle != Obstacle::Link || ::symlink(native(target), there) == 0);
        if (obstacle == Obstacle::AnotherUsersFolder &&
            (::getuid() != 0 || ::mkdir(there, 0755) != 0 || ::chown(there, 65534, 65534) != 0))
            QSKIP("needs root to give a folder to another user");
        for (int start = 0; start < 2; ++start) {
            QVERIFY(migrateLegacyFolders(a.locations()).ok());
            const Expected<void> made = createRuntimeFolders(a.locations());
            QCOMPARE(made.ok() ? QString() : made.error().description,
                     said.isNull() ? QString() : said.arg(a.folders.value(at)));
            for (int i = 0; i < 7; ++i) // the folders before it are made, none after it
                QVERIFY2(i == at || is_directory(statusOf(a.folders[i])) == (i < at),
                         qPrintable(a.folders[i]));
            QCOMPARE(modeOf(a.caddy), caddyMode);
            // Left wider in between, it is made private again.
            QVERIFY(at != 7 || ::chmod(native(a.caddy).constData(), 0755) == 0);
        }
        QCOMPARE(modeOf(target), 0755);
        QVERIFY(obstacle != Obstacle::File || readAll(a.folders[at]) == "x");
        QCOMPARE(a.locations().previousServerLogFile(), a.log + u"/server.previous.log"_s);
    }

    // A folder the system will not make for another reason than a file in its way says that one.
    void aFolderTheSystemRefuses()
    {
        QTemporaryDir dir;
        const QString tooLong = dir.filePath(QString(256, u'n'));
        QCOMPARE(makeFolderWithParents(tooLong + u"/inner"_s).error().description,
                 u"Cannot create the folder %1: File name too long"_s.arg(tooLong));
    }

    // Each legacy folder is moved whole while its new place does not exist; an existing one, even
    // empty, blocks its pair, and only it: the two are never merged.
    void legacyFoldersMoveOnce()
    {
        Account a;
        const QString from[] = {a.home + u".local/share/Quarle Server"_s,
                                a.home + u".cache/io.quarle.quarle-server"_s,
                                a.home + u".local/state/Quarle Server"_s};
        const QString to[] = {a.data, a.cache, a.log};
        for (const QString& legacy : from)
            QVERIFY(QDir().mkpath(legacy + u"/nested"_s) &&
                    writeFile(legacy + u"/nested/old.txt"_s, legacy.toUtf8()));
        QVERIFY(QDir().mkpath(a.cache));
        QVERIFY(migrateLegacyFolders(a.locations()).ok());
        for (int i = 0; i < 3; ++i) {
            const bool moves = i != 1;
            QCOMPARE(readAll((moves ? to[i] : from[i]) + u"/nested/old.txt"_s), from[i].toUtf8());
            QVERIFY(!QFileInfo::exists(moves ? from[i] : to[i] + u"/nested"_s));
        }
        // Once the new cache folder is gone its pair moves; a legacy data folder that comes back
        // meanwhile stays where it is.
        QVERIFY(QDir().rmdir(a.cache) && QDir().mkpath(from[0]));
        QVERIFY(migrateLegacyFolders(a.locations()).ok());
        QCOMPARE(readAll(a.cache + u"/nested/old.txt"_s), from[1].toUtf8());
        QVERIFY(QFileInfo(from[0]).isDir() && !QFileInfo::exists(from[1]));
    }

    // Rotated only when larger than 10 MiB; the header, in UTC without fractions, ends the log.
    // A log the system lets grow no more is refused, and what it held stays.
    void logRotation_data()
    {
        QTest::addColumn<qint64>("size"); // -1: no log yet
        QTest::addColumn<bool>("hasPrevious");
        QTest::addColumn<bool>("full"); // no byte more may be written to it
        QTest::newRow("no log yet") << -1LL << false << false;
        QTest::newRow("exactly the limit") << 10'485'760LL << true << false;
        QTest::newRow("one byte over, older previous") << 10'485'761LL << true << false;
        QTest::newRow("one byte over, no previous") << 10'485'761LL << false << false;
        QTest::newRow("no room for the header") << 100LL << false << true;
    }
    void logRotation()
    {
        QFETCH(qint64, size);
        QFETCH(bool, hasPrevious);
        QFETCH(bool, full);
        QTemporaryDir dir;
        const QString log = dir.filePath(u"server.log"_s);
        const QString previous = dir.filePath(u"server.previous.log"_s);
        const QByteArray earlier = size < 0 ? QByteArray() : QByteArray(size - 4, 'x') + "end\n";
        QVERIFY(size < 0 || writeFile(log, earlier));
        QVERIFY(!hasPrevious || writeFile(previous, "older run\n"));
        const QDateTime now(QDate(2026, 12, 6), QTime(7, 4, 8, 999)); // local time, 13 h ahead
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        const rlimit limit{full ? rlim_t(size) : before.rlim_cur, before.rlim_max};
        const auto xfsz = ::signal(SIGXFSZ, SIG_IGN); // a refused write fails, not ends us
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const uint files = openFiles();
        const Expected<LogHandle> handle = openServerLog(log, previous, now);
        const uint opened = openFiles() - files;
        ::setrlimit(RLIMIT_FSIZE, &before);
        ::signal(SIGXFSZ, xfsz);
        QCOMPARE(opened, full ? 0u : 1u); // the handle's alone
        if (full) {
            QCOMPARE(handle.error().description,
                     u"Cannot write to the server log %1: File too large"_s.arg(log));
            QVERIFY(readAll(log) == earlier);
            return;
        }
        QVERIFY(handle.ok());
        const QByteArray header("\n--- Tarvessa Audio Server launch 2026-12-05T18:04:08Z ---\n");
        const bool rotated = size > 10'485'760;
        // Plain comparisons: a failure must not print ten megabytes.
        QVERIFY(readAll(log) == (rotated ? header : earlier + header));
        QVERIFY(readAll(previous) == (rotated ? earlier : hasPrevious ? "older run\n"_ba : ""_ba));
        QCOMPARE(QFileInfo::exists(previous), rotated || hasPrevious);
        // Appended to, and the server's writes wait for a slow disk rather than fail.
        QCOMPARE(::fcntl(handle.value().fd(), F_GETFL) & (O_APPEND | O_ACCMODE | O_NONBLOCK),
                 O_APPEND | O_WRONLY);
        LogHandle closed(::dup(handle.value().fd())); // once closed, it holds no descriptor
        closed.close();
        QVERIFY(!closed.isOpen());
        LogHandle first(::dup(handle.value().fd())), second(::dup(handle.value().fd()));
        const int kept = first.fd();
        second =
            std::move(first); // closes what it held, and takes the first's, which then has none
        QVERIFY(!first.isOpen() && second.fd() == kept);
        QCOMPARE(modeOf(log), 0644); // made as any file is: nobody runs a log
    }

    // A probe's connection goes with its end. A completion that runs an event loop of its own
    // past the time limit (an alert answered late, say) is called once: the time limit comes in
    // that loop to a probe that has already ended. An owner not known on connecting (the
    // server's side had not completed the handshake) is asked again on the answer.
    void probeRequest()
    {
        ModeServer port;
        QObject context;
        int calls = 0, asked = 0;
        bool compatible = false;
        requestMode(port.serverPort(), std::chrono::milliseconds(deadline(100)), &context,
                    [&](bool) {
                        ++calls;
                        QEventLoop alert;
                        QTimer::singleShot(deadline(300), &alert, &QEventLoop::quit);
                        alert.exec();
                    });
        QTRY_COMPARE(calls, 1);
        QTRY_VERIFY(context.findChildren<QTcpSocket*>().isEmpty());
        requestMode(
            port.serverPort(), std::chrono::seconds(10), &context,
            [&](bool answer) { compatible = answer; },
            [&](quint16, quint16) {
                return ++asked == 1 ? std::nullopt : std::optional(::geteuid());
            });
        QTRY_VERIFY(compatible);
        QCOMPARE(asked, 2);
        QCOMPARE(port.lastRequest, "GET /api/app-mode HTTP/1.1\r\nHost: 127.0.0.1:" +
                                       QByteArray::number(port.serverPort()) + "\r\n\r\n");
    }

    // Where the guard reads a process's state, for every number of digits.
    void procStatPaths()
    {
        for (const long pid : {1L, 10L, 19L, 100L, 4194304L}) {
            char path[32];
            procStatPath(pid, path);
            QCOMPARE(QByteArray(path), "/proc/" + QByteArray::number(pid) + "/stat");
        }
    }

    // An answer is read up to its limits, a head of 16 KiB and a body of 64 KiB however it is
    // framed: one byte more is broken, never waited for.
    void answerLimits()
    {
        using enum HttpResponse::Progress;
        const QByteArray status = "HTTP/1.1 200 OK\r\n", body(64 * 1024, 'b'),
                         chunked = status + "Transfer-Encoding: chunked\r\n\r\n";
        const auto head = [&](qsizetype end) { // its blank line at `end`
            const QByteArray start = status + "Content-Length: 0\r\nX: ";
            return start + QByteArray(end - start.size(), 'x') + "\r\n\r\n";
        };
        const struct
        {
            const char* name;
            QByteArray received;
            bool closed;
            HttpResponse::Progress progress;
        } rows[] = {
            {"no head at all", "\r\n\r\n", false, broken},
            {"a head at the limit", head(16 * 1024), false, whole},
            {"a head past it", head(16 * 1024 + 1), false, broken},
            {"a length at the limit", status + "Content-Length: 65536\r\n\r\n" + body, false,
             whole},
            {"a length past it", status + "Content-Length: 65537\r\n\r\n" + body, false, broken},
            {"chunks at the limit", chunked + "10000\r\n" + body + "\r\n0\r\n\r\n", false, whole},
            {"chunks past it",
             chunked + "ffff\r\n" + body.first(0xffff) + "\r\n2\r\nbb\r\n0\r\n\r\n", false, broken},
            {"to the close, at the limit", status + "\r\n" + body, true, whole},
            {"to the close, past it", status + "\r\n" + body + 'b', false, broken},
        };
        for (const auto& [name, received, closed, progress] : rows)
            QVERIFY2(readHttpResponse(received, closed).progress == progress, name);
    }

    // Compatible: status 200 and a JSON object whose "mode" is the string "quarle".
    void probeAnswer()
    {
        const QByteArray ours = R"({"mode": "quarle", "version": 3})";
        QVERIFY(isCompatibleAnswer(200, ours));
        const struct
        {
            const char* name;
            std::optional<int> status;
            QByteArray body;
        } incompatible[] = {{"another status", 201, ours},
                            {"no answer", std::nullopt, ours},
                            {"another mode", 200, R"({"mode": "Quarle"})"},
                            {"mode not a string", 200, R"({"mode": ["quarle"]})"},
                            {"no object", 200, R"(["quarle"])"},
                            {"empty", 200, {}}};
        for (const auto& [name, status, body] : incompatible)
            QVERIFY2(!isCompatibleAnswer(status, body), name);
    }

    // What the kernel says of the server's end of a connection: a whole socket's reply names its
    // owner; the remains of a closed connection (time-wait, reported as root's and carrying no
    // shutdown state), a reply about another socket, an error and a cut reply name none.
    void socketOwnerFromKernelReply()
    {
        struct
        {
            nlmsghdr header{sizeof *this, SOCK_DIAG_BY_FAMILY, 0, 1, 0};
            inet_diag_msg socket{};
            nlattr attribute{sizeof(nlattr), INET_DIAG_SHUTDOWN};
        } whole;
        whole.socket.id.idiag_sport = htons(2104);
        whole.socket.id.idiag_dport = htons(40000);
        whole.socket.idiag_uid = 1234;
        const auto owner = [&](auto change, int cut = 0) {
            auto reply = whole;
            change(reply);
            return socketOwnerFromReply(
                QByteArray(reinterpret_cast<const char*>(&reply), sizeof reply - cut), 2104, 40000);
        };
        QCOMPARE(owner([](auto&) {}), 1234U);
        QCOMPARE(owner([](auto& r) { r.attribute.nla_type = INET_DIAG_MARK; }), std::nullopt);
        QCOMPARE(owner([](auto& r) { r.socket.id.idiag_dport = htons(40001); }), std::nullopt);
        QCOMPARE(owner([](auto& r) { r.header.nlmsg_type = NLMSG_ERROR; }), std::nullopt);
        QCOMPARE(owner([](auto&) {}, 1), std::nullopt);
        // Asked through a socket standing in for the kernel's, its reply already waiting: the
        // request goes out whole, and the reply's owner is the answer, which no table gives. A
        // reply that claims more than came is none, whatever lies past it in memory.
        static int kernel[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, kernel), 0);
        const auto closing = qScopeGuard([] { ::close(kernel[0]); });
        for (const std::optional<uint> owner : {std::optional<uint>(), std::optional(1234U)}) {
            auto reply = whole;
            reply.header.nlmsg_len += owner ? 0 : 4;
            QCOMPARE(::send(kernel[0], &reply, sizeof reply, 0), ssize_t(sizeof reply));
            QCOMPARE(connectionPeerOwner(2104, 40000, [] { return ::dup(kernel[1]); }), owner);
        }
        ::close(kernel[1]);
        QByteArray asked(1024, Qt::Uninitialized);
        asked.truncate(::recv(kernel[0], asked.data(), size_t(asked.size()), MSG_DONTWAIT));
        QCOMPARE(asked, peerSocketRequest(AF_INET, 2104, 40000));
    }

    // Asked about a real connection of ours, the kernel names us the owner of its accepting end:
    // the request names that one socket exactly.
    void kernelNamesTheOwnerOfARealConnection()
    {
        QTcpServer server;
        QTcpSocket client;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(deadline(5000)) &&
                server.waitForNewConnection(deadline(5000)));
        const int diag = openSockDiag();
        if (diag < 0)
            QSKIP("The kernel's socket diagnostics cannot be asked here");
        const auto closing = qScopeGuard([diag] { ::close(diag); });
        const QByteArray request =
            peerSocketRequest(AF_INET, server.serverPort(), client.localPort());
        QCOMPARE(::send(diag, request.constData(), size_t(request.size()), 0), request.size());
        QByteArray reply(8192, Qt::Uninitialized);
        const ssize_t got = ::recv(diag, reply.data(), size_t(reply.size()), 0);
        QVERIFY(got > 0);
        QCOMPARE(socketOwnerFromReply(reply.first(got), server.serverPort(), client.localPort()),
                 ::getuid());
    }

    // The kernel's socket tables say the same of that socket: only its row, past the handshake and
    // still a whole socket, names its owner, in /proc/net/tcp or, v4-mapped, in tcp6. The remains
    // of a connection its server closed first show as fin-wait-2 with the time-wait timer.
    void socketOwnerFromSocketTable()
    {
        const auto word = [](uint hostOrder) { // as the kernel shows an address's word
            return QByteArray::number(htonl(hostOrder), 16).rightJustified(8, '0').toUpper();
        };
        const QByteArray loopback = word(INADDR_LOOPBACK),
                         mapped = "0000000000000000" + word(0xffff), server = loopback + ":0838",
                         client = loopback + ":9C40"; // 2104, 40000
        const QByteArray rest = " 00000000:00000000 00:00000000 00000000  1234        0 81234 1";
        const auto row = [&](const QByteArray& local, const QByteArray& remote, const char* state,
                             const QByteArray& tail = {}) {
            return "   1: " + local + ' ' + remote + ' ' + state + (tail.isNull() ? rest : tail);
        };
        const struct
        {
            const char* name;
            QByteArray table;
            std::optional<uint> owner = std::nullopt;
        } cases[] = {
            {.name = "ours, after the listener",
             .table = row(server, "00000000:0000", "0A") + '\n' + row(server, client, "01"),
             .owner = 1234},
            {.name = "close-wait", .table = row(server, client, "08"), .owner = 1234},
            {.name = "v4-mapped",
             .table = row(mapped + server, mapped + client, "01"),
             .owner = 1234},
            {.name = "listener", .table = row(server, "00000000:0000", "0A")},
            {.name = "another port", .table = row(loopback + ":0839", client, "01")},
            {.name = "another remote port", .table = row(server, loopback + ":9C41", "01")},
            {.name = "time-wait", .table = row(server, client, "06")},
            {.name = "closed first",
             .table = row(server, client, "05", " 0:0 03:00000BB8 0 0 0 0")},
            {.name = "handshake", .table = row(server, client, "03")},
            {.name = "another address", .table = row("0200007F:0838", client, "01")},
            {.name = "no user id",
             .table = row(server, client, "01", QByteArray(rest).replace(" 1234 ", " x "))},
            {.name = "cut short", .table = row(server, client, "01", " 00000000:00000000 00:00")},
        };
        for (const auto& c : cases)
            QVERIFY2(socketOwnerFromTable(c.table, 2104, 40000) == c.owner, c.name);
    }

    // The desktop entry's main group, and our own quoting read back by its Exec rules.
    void desktopEntry()
    {
        for (const char* text :
             {"[Desktop Entry]\nName=\xff\n", "Type=Application\n", "[Other]\nType=Application\n",
              "[Desktop Entry]\n[Desktop Entry]\n", "[Desktop Entry]\nbad key=1\n",
              "[Desktop Entry\nType=Application\n"})
            QVERIFY2(!DesktopEntry::mainGroup(text), text);
        const auto group = DesktopEntry::mainGroup("# made by us\n[Desktop Entry]\n"
                                                   "Name[de]= \tServer \r\n\n[Other]\nName=x\n");
        QCOMPARE(group.value_or(QHash<QString, QString>()),
                 (QHash<QString, QString>{{u"Name[de]"_s, u"Server "_s}}));
        // A value written escaped reads back whole, and our quoting survives the Exec rules.
        using namespace DesktopEntry;
        const auto readBack = [](const QString& value) {
            return unescape(mainGroup("[Desktop Entry]\nExec=" + escape(value).toUtf8() + '\n')
                                .value_or(QHash<QString, QString>())
                                .value(u"Exec"_s));
        };
        const QString awkward = u" /a \"b\" `c` $d \\e 50%\t\n\r\\s %U\\"_s; // an escape last
        QCOMPARE(readBack(awkward), awkward);
        QCOMPARE(splitExec(readBack(quoteExecArgument(awkward) + u" %U --autostart"_s)),
                 (QStringList{awkward, u"--autostart"_s}));
        // Inside quotes only ", `, $ and \ are escaped; a lone % at a word's end stays.
        QCOMPARE(splitExec(u"x\t100%% \"\" a\\ b \"\\x\\$\" 5%"_s),
                 (QStringList{u"x"_s, u"100%"_s, u""_s, u"a b"_s, u"\\x$"_s, u"5%"_s}));
        QCOMPARE(splitExec(u"\"x"_s), std::nullopt); // a quote left open
        QCOMPARE(unescape(u"a\\"_s), u"a\\"_s);      // a lone \ at the end stays
    }

    // The bundle is the folder above the running executable's, found through a link and kept
    // byte for byte: here a copy of this test in a folder whose name is not UTF-8.
    void bundleOfTheRunningExecutable()
    {
        QTemporaryDir dir;
        const QByteArray bundle = native(dir.path()) + "/\xf0\x9f\x93\x81\x61pps \xe9";
        const auto removeOdd = qScopeGuard([&] { std::filesystem::remove_all(bundle.data()); });
        std::filesystem::create_directories((bundle + "/bin").data());
        std::filesystem::copy_file(native(QCoreApplication::applicationFilePath()).data(),
                                   (bundle + "/bin/core").data());
        QVERIFY(::symlink((bundle + "/bin/core").constData(),
                          native(dir.filePath(u"linked"_s)).constData()) == 0);
        QProcess copy;
        copy.start(dir.filePath(u"linked"_s), {u"--bundle"_s});
        QVERIFY(copy.waitForFinished(deadline(20000)));
        QCOMPARE(copy.readAllStandardOutput().toHex(' '), bundle.toHex(' '));
    }

    // Names are bytes: valid UTF-8 reads as text, characters outside the basic plane included,
    // and each other byte as a lone surrogate that encodes back to it; a variable's name keeps
    // its bytes through QProcessEnvironment too.
    void names_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        // Bytes that are valid UTF-8, then lone bytes each read as its own surrogate.
        const auto row = [](const char* tag, const QByteArray& valid, const QByteArray& lone) {
            QString text = QString::fromUtf8(valid);
            for (const char byte : lone)
                text += QChar(char16_t(0xDC00 + static_cast<unsigned char>(byte)));
            QTest::newRow(tag) << valid + lone << text;
        };
        row("basic plane", "/jos\xc3\xa9 \xe2\x82\xac", {});
        row("outside it",
            "\xf0\x9f\x92\x80\xf0\x9f\x92\xa9x\xf0\x9f\x93\xbf\xf0\x9f\xa6\x80\xf0\xa0\x82\x80",
            {});
        QTest::newRow("lone bytes") << "a\xe9\x62\xff\x80"_ba << u"a\xdce9\x62\xdcff\xdc80"_s;
        row("surrogates' encodings", "x", "\xed\xb0\x80\xed\xbf\xbf");
        row("overlong, beyond U+10FFFF", {},
            "\xc1\xbf\xe0\x9f\xbf\xf0\x8f\xbf\xbf\xf4\x90\x80\x80");
        row("a byte after a character outside", "\xf0\x9f\x92\x80", "\xa9");
        row("cut off at the end", "\xe2\x82\xac", "\xf0\x9f\x92");
        row("a high surrogate's encoding at the end", "N", "\xed\xa0\x80");
        row("the name's escape mark", "\xef\xb7\x90", "\xe9");
        row("the first and last of each length, and around the surrogates",
            "\x01\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"
            "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
            {});
    }
    void names()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(decodeNativeName(bytes), text);
        QCOMPARE(encodeNativeName(text).toHex(' '), bytes.toHex(' '));
        QProcessEnvironment environment;
        environment.insert(decodeEnvironmentName(bytes), decodeNativeName(bytes));
        QCOMPARE(encodeEnvironmentName(environment.keys().value(0)).toHex(' '), bytes.toHex(' '));
        QCOMPARE(encodeNativeName(environment.value(environment.keys().value(0))).toHex(' '),
                 bytes.toHex(' '));
    }
};

int main(int argc, char* argv[])
{
    // Run from a copy, it names the bundle it finds itself in.
    if (argc == 2 && std::strcmp(argv[1], "--bundle") == 0)
        return std::fputs(encodeNativeName(BaseFolders::bundleOfRunningExecutable()).constData(),
                          stdout) < 0;
    QCoreApplication application(argc, argv);
    CoreTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_core.moc"
