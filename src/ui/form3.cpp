#include "form3.h"

#include "base/scheduler.h"
#include "twips.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

Form3::Form3(Scheduler &scheduler)
    : QWidget(nullptr,
              Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus),
      m_timer1(scheduler.createTimer(Timer::SingleShot, Qt::PreciseTimer))
{
    setObjectName(QStringLiteral("Form3"));
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(QStringLiteral("Form3"));
    setFixedSize(Twips::toPixels(2070), Twips::toPixels(540));

    m_label1 = new QLabel(QStringLiteral("Only受信"), this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setAlignment(Qt::AlignCenter);
    m_label1->setGeometry(Twips::rect(60, 60, 1965, 435));
    QFont font;
    // "ＭＳ Ｐゴシック" is not on Linux; IPAPGothic has its metrics.
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                      QStringLiteral("IPAPGothic"), QStringLiteral("IPAexGothic"),
                      QStringLiteral("Noto Sans CJK JP")});
    font.setPointSize(18);
    font.setWeight(QFont::Normal);
    m_label1->setFont(font);
    m_label1->installEventFilter(this);

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    connect(m_timer1.get(), &Timer::timeout, this, &QWidget::close);
    m_timer1->start(5000);
}

bool Form3::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_label1 && event->type() == QEvent::MouseButtonRelease) {
        close();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
