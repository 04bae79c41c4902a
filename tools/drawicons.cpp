// Draws the two icons of the main window into the given folder (resources/img):
//   settings.png  a gear in #8F9BB3, 81 x 81, transparent ground
//   download.png  an open tray with an arrow down into it in #DF5E14, 90 x 73
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

static QImage drawGear()
{
    QImage image(81, 81, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(40.5, 40.5);
    const int teeth = 8;
    const qreal outer = 37, inner = 29;
    QPainterPath gear;
    for (int i = 0; i < teeth * 4; ++i) {
        // Each tooth: rise, top, fall, valley; a quarter of the pitch each.
        const qreal angle = (i - 0.5) * 2 * M_PI / (teeth * 4);
        const qreal r = (i % 4 == 0 || i % 4 == 1) ? outer : inner;
        const QPointF pt(c.x() + r * qCos(angle), c.y() + r * qSin(angle));
        i == 0 ? gear.moveTo(pt) : gear.lineTo(pt);
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, 12, 12);
    p.fillPath(gear.subtracted(hole), QColor(QStringLiteral("#8F9BB3")));
    return image;
}

static QImage drawTray()
{
    QImage image(90, 73, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor orange(QStringLiteral("#DF5E14"));
    QPen pen(orange, 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    // The open tray: two short walls and the floor.
    p.drawPolyline(QPolygonF({ QPointF(6, 40), QPointF(6, 67), QPointF(84, 67), QPointF(84, 40) }));
    // The arrow down into it.
    p.drawLine(QPointF(45, 5), QPointF(45, 48));
    p.setPen(Qt::NoPen);
    p.setBrush(orange);
    p.drawPolygon(QPolygonF({ QPointF(29, 36), QPointF(61, 36), QPointF(45, 56) }));
    return image;
}

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    const bool ok = drawGear().save(out.filePath(QStringLiteral("settings.png")))
            && drawTray().save(out.filePath(QStringLiteral("download.png")));
    return ok ? 0 : 1;
}
