// Serves one file over HTTPS on 127.0.0.1 at /static/cli/<name>, for the demo and end-to-end
// tests: serve <certificate base> <port> <name> <file>. Prints "listening on PORT" when ready.
// The name may be percent-encoded, so that a sweep for the tool's name does not see it in this
// server's command line. A signature FILE.minisig beside the file is served at <name>.minisig.
// The file goes with the validators a static file server gives it: an ETag of its modification
// time and size, as nginx makes one, and Last-Modified.
#include "tests/support/https_test_server.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: %s CERT_BASE PORT NAME FILE\n", argv[0]);
        return 2;
    }
    QFile file(args.at(4));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args.at(4)));
        return 2;
    }
    HttpsTestServer server(args.at(1));
    const QByteArray path = "/static/cli/" + QByteArray::fromPercentEncoding(args.at(3).toUtf8());
    const QFileInfo info(file);
    const QDateTime modified = info.lastModified().toUTC();
    HttpsTestServer::Route build{200, file.readAll(), HttpsTestServer::Behaviour::Normal, {}};
    build.entityTag =
        '"' + QByteArray::number(modified.toSecsSinceEpoch(), 16) + '-' + QByteArray::number(info.size(), 16) + '"';
    build.lastModified = QLocale::c().toString(modified, u"ddd, dd MMM yyyy hh:mm:ss 'GMT'").toLatin1();
    server.setRoute(path, build);
    QFile signature(args.at(4) + QStringLiteral(".minisig"));
    if (signature.open(QIODevice::ReadOnly)) {
        server.setRoute(path + ".minisig", {200, signature.readAll(), HttpsTestServer::Behaviour::Normal, {}});
    }
    if (!server.listen(quint16(args.at(2).toUInt()))) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%s\n", qPrintable(args.at(2)));
        return 1;
    }
    std::printf("listening on %u\n", server.port());
    std::fflush(stdout);
    return app.exec();
}
