// Draws the three application icons (cube, cross, check) as 256x256 RGBA PNGs,
// and the cube as the Windows program icon (cubeRouge.ico).
// Usage: draw_icons <output-dir>
#include <QBuffer>
#include <QDataStream>
#include <QGuiApplication>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kSize = 256;

QImage blankCanvas()
{
    QImage img(kSize, kSize, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

void fillFace(QPainter &p, const QPolygonF &face, const QColor &light, const QColor &dark,
              QPointF from, QPointF to)
{
    QLinearGradient g(from, to);
    g.setColorAt(0.0, light);
    g.setColorAt(1.0, dark);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawPolygon(face);
}

QImage drawCube()
{
    QImage img = blankCanvas();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);

    // Isometric hexagon; the margin leaves room for the outline stroke.
    const double cx = 128.0, cy = 130.0, r = 112.0;
    const double w = r * std::sqrt(3.0) / 2.0;
    const QPointF top(cx, cy - r), ur(cx + w, cy - r / 2), lr(cx + w, cy + r / 2);
    const QPointF bottom(cx, cy + r), ll(cx - w, cy + r / 2), ul(cx - w, cy - r / 2);
    const QPointF mid(cx, cy);

    const QPolygonF topFace{top, ur, mid, ul};
    const QPolygonF leftFace{ul, mid, bottom, ll};
    const QPolygonF rightFace{mid, ur, lr, bottom};

    // Light comes from the upper left: top brightest, right face darkest.
    fillFace(p, topFace, QColor(0xff, 0x8a, 0x7a), QColor(0xf0, 0x4a, 0x3c), top, mid);
    fillFace(p, leftFace, QColor(0xe5, 0x39, 0x35), QColor(0xb7, 0x1c, 0x1c), ul, bottom);
    fillFace(p, rightFace, QColor(0xa8, 0x1a, 0x1a), QColor(0x7a, 0x0e, 0x0e), ur, bottom);

    // Inner edges: a thin highlight so the faces stay distinct when scaled down.
    QPen inner(QColor(255, 220, 210, 170), 4.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(inner);
    p.drawLine(ul, mid);
    p.drawLine(mid, ur);
    p.drawLine(mid, bottom);

    // Silhouette outline keeps the shape readable on light and dark backgrounds.
    QPen outline(QColor(0x5a, 0x08, 0x08, 230), 7.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(outline);
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(QPolygonF{top, ur, lr, bottom, ll, ul});
    return img;
}

// A bold glyph: dark rim, gradient body and a soft top highlight, all round-capped.
QImage drawGlyph(const QPainterPath &path, const QColor &rim, const QColor &light,
                 const QColor &dark)
{
    QImage img = blankCanvas();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);

    const QRectF box = path.boundingRect();

    p.setPen(QPen(rim, 58.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(path);

    QLinearGradient body(box.topLeft(), box.bottomLeft());
    body.setColorAt(0.0, light);
    body.setColorAt(1.0, dark);
    p.setPen(QPen(QBrush(body), 40.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(path);

    // Highlight shifted up-left to suggest a rounded stroke.
    p.save();
    p.translate(-3.0, -4.0);
    p.setPen(QPen(QColor(255, 255, 255, 70), 14.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(path);
    p.restore();
    return img;
}

QImage drawCross()
{
    QPainterPath path;
    const double a = 54.0, b = 202.0;
    path.moveTo(a, a);
    path.lineTo(b, b);
    path.moveTo(b, a);
    path.lineTo(a, b);
    return drawGlyph(path, QColor(0x7f, 0x0b, 0x0b), QColor(0xff, 0x5a, 0x4a),
                     QColor(0xc6, 0x19, 0x19));
}

QImage drawCheck()
{
    QPainterPath path;
    path.moveTo(44.0, 136.0);
    path.lineTo(102.0, 194.0);
    path.lineTo(214.0, 70.0);
    return drawGlyph(path, QColor(0x0f, 0x4d, 0x14), QColor(0x66, 0xd9, 0x5a),
                     QColor(0x23, 0x9b, 0x2e));
}

bool save(const QImage &img, const QDir &dir, const char *name)
{
    const QString file = dir.filePath(QString::fromLatin1(name));
    if (!img.save(file, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    return true;
}

// Explorer picks the size it needs from the file; each is stored as a PNG,
// which Windows reads in icons since Vista.
bool saveIco(const QImage &img, const QDir &dir, const char *name)
{
    QList<QByteArray> pngs;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        QBuffer png;
        png.open(QIODevice::WriteOnly);
        img.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).save(&png, "PNG");
        pngs.append(png.data());
    }
    QFile file(dir.filePath(QString::fromLatin1(name)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        return false;
    }
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(pngs.size()); // reserved, icon type, count
    quint32 offset = 6 + 16 * pngs.size();
    for (const QByteArray &png : pngs) {
        const int size = QImage::fromData(png).width();
        // Width and height of 256 are written as 0; then palette, reserved, planes, depth.
        out << quint8(size % 256) << quint8(size % 256) << quint8(0) << quint8(0) << quint16(1) << quint16(32)
            << quint32(png.size()) << offset;
        offset += png.size();
    }
    for (const QByteArray &png : pngs)
        out.writeRawData(png.constData(), png.size());
    return file.flush();
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output-dir>\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists()) {
        std::fprintf(stderr, "no such directory: %s\n", argv[1]);
        return 2;
    }
    const QImage cube = drawCube();
    bool ok = save(cube, dir, "cubeRouge.png");
    ok = saveIco(cube, dir, "cubeRouge.ico") && ok;
    ok = save(drawCross(), dir, "Delete.png") && ok;
    ok = save(drawCheck(), dir, "Check.png") && ok;
    return ok ? 0 : 1;
}
