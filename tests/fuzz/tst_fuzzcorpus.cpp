#include "fuzzcheck.h"

#include <QDir>
#include <QTest>

// Every kept fuzz input through its target, in the ordinary and the sanitizer build.
class tst_FuzzCorpus : public QObject
{
    Q_OBJECT

private slots:
    void corpus_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<void *>("target");
        const QDir root(QStringLiteral(VELKA_FUZZ_CORPUS));
        const std::pair<const char *, decltype(&fuzzQuery)> targets[] = {
            {"query", fuzzQuery}, {"scanner", fuzzScanner}, {"reply", fuzzReply}};
        for (const auto &[name, function] : targets) {
            const QDir dir(root.filePath(QLatin1String(name)));
            const QStringList files = dir.entryList(QDir::Files, QDir::Name);
            QVERIFY2(!files.isEmpty(), qPrintable(dir.path()));
            for (const QString &file : files)
                QTest::addRow("%s/%s", name, qPrintable(file)) << dir.filePath(file) << reinterpret_cast<void *>(function);
        }
    }
    void corpus()
    {
        QFETCH(QString, file);
        QFETCH(void *, target);
        QFile input(file);
        QVERIFY(input.open(QIODevice::ReadOnly));
        const QByteArray bytes = input.readAll();
        const auto function = reinterpret_cast<decltype(&fuzzQuery)>(target);
        QCOMPARE(function(reinterpret_cast<const std::uint8_t *>(bytes.constData()), std::size_t(bytes.size())), 0);
    }
};

QTEST_GUILESS_MAIN(tst_FuzzCorpus)
#include "tst_fuzzcorpus.moc"
