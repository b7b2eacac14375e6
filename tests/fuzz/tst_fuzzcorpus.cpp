#include "fuzzcheck.h"

#include <QDir>
#include <QFile>
#include <QTest>

// Every kept fuzz input through its target, in the ordinary (and the
// sanitizer) build: what once broke a promise stays checked.
class tst_FuzzCorpus : public QObject
{
    Q_OBJECT

private slots:
    void corpus_data();
    void corpus();
};

void tst_FuzzCorpus::corpus_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("file");
    const QDir root(QStringLiteral(VELKA_FUZZ_CORPUS));
    for (const QString &target : {QStringLiteral("query"), QStringLiteral("scanner"), QStringLiteral("reply")}) {
        const QDir dir(root.filePath(target));
        const QStringList files = dir.entryList(QDir::Files, QDir::Name);
        QVERIFY2(!files.isEmpty(), qPrintable(dir.path()));
        for (const QString &file : files)
            QTest::addRow("%s/%s", qPrintable(target), qPrintable(file)) << target << dir.filePath(file);
    }
}

void tst_FuzzCorpus::corpus()
{
    QFETCH(QString, target);
    QFETCH(QString, file);
    QFile input(file);
    QVERIFY(input.open(QIODevice::ReadOnly));
    const QByteArray bytes = input.readAll();
    const auto *data = reinterpret_cast<const std::uint8_t *>(bytes.constData());
    const auto size = std::size_t(bytes.size());
    if (target == QLatin1String("query"))
        QCOMPARE(fuzzQuery(data, size), 0);
    else if (target == QLatin1String("scanner"))
        QCOMPARE(fuzzScanner(data, size), 0);
    else
        QCOMPARE(fuzzReply(data, size), 0);
}

QTEST_GUILESS_MAIN(tst_FuzzCorpus)
#include "tst_fuzzcorpus.moc"
