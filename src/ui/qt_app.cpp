#include "ui/qt_app.h"

#include <unistd.h>

#include <QApplication>
#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/preferences.h"
#include "crypto/random_generator.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "platform/ui_dispatcher.h"
#include "session/deferred_deletion.h"
#include "ui/main_window.h"
#include "ui/qt_user_interface.h"

namespace tarnwick {

namespace {

constexpr int kHandOverMs = 3000;
// A second start hands over at most this much (paths, one a line).
constexpr qint64 kMaxHandOver = 64 * 1024;

// Hands files to a running instance; false when none answers.
bool HandToRunningInstance(const std::vector<std::string>& files) {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(InstanceName()));
    if (!socket.waitForConnected(kHandOverMs)) return false;
    QByteArray message;
    for (const std::string& file : files) {
        message += QByteArray::fromStdString(file);
        message += '\n';
    }
    // An empty message still brings the window to the front.
    message += '\n';
    socket.write(message);
    socket.waitForBytesWritten(kHandOverMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kHandOverMs);
    return true;
}

// Listens for later starts: each hands over its files, ending with an empty line.
void ListenForLaterStarts(QLocalServer& server, MainWindow& window) {
    QObject::connect(&server, &QLocalServer::newConnection, &window, [&server, &window] {
        while (QLocalSocket* socket = server.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, &window, [socket, buffer, &window] {
                *buffer += socket->readAll();
                if (buffer->size() > kMaxHandOver) {
                    socket->abort();
                    return;
                }
                if (!buffer->endsWith("\n\n") && *buffer != "\n") return;
                const QList<QByteArray> lines = buffer->split('\n');
                buffer->clear();
                window.showNormal();
                window.raise();
                window.activateWindow();
                for (const QByteArray& line : lines) {
                    if (!line.isEmpty()) window.OpenFileRequest(line.toStdString());
                }
            });
        }
    });
}

}  // namespace

std::string InstanceName() {
    // Each user and configuration folder has its own instance (tests run side by side with
    // folders of their own).
    const std::string config = ConfigDirectory();
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(config), QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    // The socket lives in a folder only its user may write to, so that nobody else can stand in
    // for the running window; the shared temporary folder only when the path would be too long
    // for a socket address.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder =
        runtime != nullptr && runtime[0] != '\0' && std::filesystem::is_directory(runtime)
            ? std::string(runtime)
            : config;
    const std::string path = folder + "/tarnwick-" + hash.toStdString() + ".socket";
    constexpr std::size_t kMaxSocketPath = 100;
    if (path.size() < kMaxSocketPath) return path;
    return "tarnwick-" + std::to_string(getuid()) + "-" + hash.toStdString();
}

int RunQtApplication(int argc, char** argv, const std::vector<std::string>& files) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarnwick"));
    QApplication::setApplicationDisplayName(QString::fromUtf8(MainWindow::kTitle));
    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));

    if (HandToRunningInstance(files)) return 0;
    QLocalServer server;
    server.setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = QString::fromStdString(InstanceName());
    if (!server.listen(name)) {
        // A socket left behind by an instance that crashed.
        QLocalServer::removeServer(name);
        (void)server.listen(name);
    }

    BindDispatcherToQt();
    RandomGenerator::Global();
    Preferences& preferences = Preferences::Instance();
    preferences.Load();
    DeferredDeletion::Instance().StartReaper();
    int status = 0;
    {
        MainWindow window;
        UserInterface* previous_ui = SetUi(&window.user_interface());
        Preferences::SetApplyHooks({nullptr, [&window] { window.ApplyFont(); }, nullptr});
        preferences.Apply();
        ListenForLaterStarts(server, window);
        window.Start();
        window.show();
        const std::string notice = RegistryStore::Instance().TakeNotice();
        if (!notice.empty()) Ui().ShowMessage("Warning", notice);
        for (const std::string& file : files)
            window.OpenFileRequest(file);
        status = app.exec();
        server.close();
        window.sessions().DisconnectAll();
        Preferences::SetApplyHooks({});
        SetUi(previous_ui);
    }
    DeferredDeletion::Instance().StopReaper();
    preferences.Save();
    UiDispatcher::Instance().Unbind();
    return status;
}

}  // namespace tarnwick
