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
        const std::pair<const char *, FuzzTarget> targets[] = {{"query", fuzzQuery}, {"scanner", fuzzScanner}, {"reply", fuzzReply}};
        for (const auto &[name, target] : targets) {
            const QDir dir(QStringLiteral(VELKA_FUZZ_CORPUS "/") + QLatin1String(name));
            QVERIFY2(!dir.isEmpty(QDir::Files), qPrintable(dir.path()));
            for (const QFileInfo &file : dir.entryInfoList(QDir::Files))
                QTest::addRow("%s/%s", name, qPrintable(file.fileName())) << file.filePath() << reinterpret_cast<void *>(target);
        }
    }
    void corpus()
    {
        QFETCH(QString, file);
        QFETCH(void *, target);
        QFile input(file);
        QVERIFY(input.open(QIODevice::ReadOnly));
        const QByteArray bytes = input.readAll();
        QCOMPARE(reinterpret_cast<FuzzTarget>(target)(reinterpret_cast<const std::uint8_t *>(bytes.constData()), size_t(bytes.size())), 0);
    }
};

QTEST_GUILESS_MAIN(tst_FuzzCorpus)
#include "tst_fuzzcorpus.moc"
