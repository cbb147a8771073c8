// Writes the programs' icons into an icon theme folder:
// <folder>/<side>x<side>/apps/<icon name>.png for each side.
// Usage: make_icons <folder> <program title>=<icon name>... -- <side>...
#include "ProgramIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QGuiApplication application(argc, argv);
    QStringList arguments = QGuiApplication::arguments().mid(1);
    const int separator = arguments.indexOf(QStringLiteral("--"));
    if (arguments.size() < 2 || separator < 2) {
        QTextStream(stderr) << "usage: make_icons <folder> <title>=<icon name>... -- <side>...\n";
        return 2;
    }
    const QString folder = arguments.takeFirst();
    const QStringList programs = arguments.mid(0, separator - 1);
    const QStringList sides = arguments.mid(separator);
    for (const QString &side : sides) {
        const int pixels = side.toInt();
        const QString apps = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(pixels);
        if (pixels <= 0 || !QDir().mkpath(apps)) {
            QTextStream(stderr) << "make_icons: cannot make " << apps << '\n';
            return 1;
        }
        for (const QString &program : programs) {
            const QString title = program.section(QLatin1Char('='), 0, 0);
            const QString path = apps + QLatin1Char('/') + program.section(QLatin1Char('='), 1) + QStringLiteral(".png");
            if (!ProgramIcon::draw(title, pixels).save(path, "PNG")) {
                QTextStream(stderr) << "make_icons: cannot write " << path << '\n';
                return 1;
            }
        }
    }
    return 0;
}
