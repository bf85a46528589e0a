// Stores sample results one by one, as a station does, and prints each id
// once its result is saved ("S id" stored, "P id" spooled).
//   results_writer DB STATION COUNT
// Exit status: 0 done, 3 database cannot be opened or a result lost.
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

#include "results/store.h"
#include "testkit/results_sample.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString why;
    const auto target = results::parseTarget(args.value(1), &why);
    const auto store = target ? results::Store::open(*target, &why) : nullptr;
    if (!store) {
        QTextStream(stderr) << why << '\n';
        return 3;
    }
    for (int i = 0; i < args.value(3).toInt(); ++i) {
        QJsonObject r = results::testing::sampleResult(args.value(2), i);
        const auto saved = store->save(r);
        if (saved == results::Store::Saved::Lost) return 3;
        std::printf("%c %s\n", saved == results::Store::Saved::Stored ? 'S' : 'P',
                    qPrintable(r.value(QLatin1String("id")).toString()));
        std::fflush(stdout);
    }
    return 0;
}
