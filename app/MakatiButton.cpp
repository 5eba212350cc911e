#include "app/MakatiButton.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace app {

using gui::ToQColor;

TMakatiButton::TMakatiButton(QWidget* parent) : QPushButton(parent) { setAttribute(Qt::WA_Hover); }

void TMakatiButton::SetCaptionLines(const QStringList& lines) {
    if (lines.join("\r\n") == captionLines_.join("\r\n")) return;
    captionLines_ = lines;
    Repaint();
}

void TMakatiButton::Repaint() {
    ++repaints_;
    update();
}

QString TMakatiButton::DrawnText() const { return !text().isEmpty() ? text() : captionLines_.join("\n"); }

void TMakatiButton::paintEvent(QPaintEvent*) {
    QPixmap bitmap(size());
    QPainter p(&bitmap);
    p.setFont(font());
    QRect r = rect();
    const bool pressed = isEnabled() && isDown();
    const bool focused = hasFocus();
    const bool isDefault = QPushButton::isDefault();

    p.fillRect(r, ToQColor(isEnabled() ? color_ : syscolor::clBtnFace));

    const QString caption = DrawnText();
    const int hflag = alignH_ == haLeft ? Qt::AlignLeft : alignH_ == haRight ? Qt::AlignRight : Qt::AlignHCenter;
    const int textHeight = p.fontMetrics().boundingRect(r, hflag, caption).height();
    QRect t = r;
    if (alignV_ == vaCenter) t.translate(0, (r.height() - textHeight) / 2);
    if (alignV_ == vaBottom) t.translate(0, r.height() - textHeight);
    if (alignH_ == haLeft) t.translate(5, 0);
    if (alignH_ == haRight) t.translate(-5, 0);
    if (alignV_ == vaTop) t.translate(0, 4);
    if (alignV_ == vaBottom) t.translate(0, -5);
    if (style_ == bsStd && !capFixed_ && !isDefault && !focused) {
        if (alignH_ == haLeft) t.translate(-1, 0);
        if (alignH_ == haRight) t.translate(1, 0);
        if (alignV_ == vaTop) t.translate(0, -1);
        if (alignV_ == vaBottom) t.translate(0, 1);
    }
    t.translate(offsetH_, offsetV_);
    if (pressed) t.translate(1, 1);
    const int flags = hflag | Qt::AlignTop | Qt::TextDontClip;
    if (isEnabled()) {
        p.setPen(palette().color(QPalette::ButtonText));
        p.drawText(t, flags, caption);
    } else {
        p.setPen(ToQColor(syscolor::clBtnHighlight));
        p.drawText(t.translated(1, 1), flags, caption);
        p.setPen(ToQColor(syscolor::clBtnShadow));
        p.drawText(t, flags, caption);
    }

    auto line = [&](gui::TColor c, QPoint a, QPoint b) {
        p.setPen(ToQColor(c));
        p.drawLine(a, b);
    };
    if (style_ == bsStd) {
        if (isDefault || focused) {
            p.setPen(ToQColor(frameColor_));
            p.setBrush(Qt::NoBrush);
            p.drawRect(r.adjusted(0, 0, -1, -1));
            r.adjust(1, 1, -1, -1);
        }
        if (pressed) {
            p.setPen(ToQColor(edgeShadow_));
            p.drawRect(r.adjusted(0, 0, -1, -1));
            r.adjust(1, 1, -1, -1);
        } else {
            line(edgeHighlight_, r.topLeft(), r.topRight());
            line(edgeHighlight_, r.topLeft(), r.bottomLeft());
            line(frameColor_, r.topRight(), r.bottomRight());
            line(frameColor_, r.bottomLeft(), r.bottomRight());
            line(edgeShadow_, r.topRight() + QPoint(-1, 1), r.bottomRight() + QPoint(-1, -1));
            line(edgeShadow_, r.bottomLeft() + QPoint(1, -1), r.bottomRight() + QPoint(-1, -1));
        }
    } else if (style_ == bsIELike) {
        if (pressed || hover_) {
            const gui::TColor topLeft = pressed ? edgeShadow_ : edgeHighlight_;
            const gui::TColor bottomRight = pressed ? edgeHighlight_ : edgeShadow_;
            line(topLeft, r.topLeft(), r.topRight());
            line(topLeft, r.topLeft(), r.bottomLeft());
            line(bottomRight, r.topRight(), r.bottomRight());
            line(bottomRight, r.bottomLeft(), r.bottomRight());
        }
    }
    if (focusLine_ && isDefault && focused) {
        const int inset = style_ == bsIELike ? 2 : 4;
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect().adjusted(inset, inset, -inset, -inset);
        option.backgroundColor = ToQColor(syscolor::clBtnFace);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
    }
    p.end();
    QPainter(this).drawPixmap(0, 0, bitmap);
}

void TMakatiButton::enterEvent(QEnterEvent* event) {
    if (!hover_) {
        hover_ = true;
        Repaint();
        if (OnMouseEnter) OnMouseEnter(this);
    }
    QPushButton::enterEvent(event);
}

void TMakatiButton::leaveEvent(QEvent* event) {
    hover_ = false;
    Repaint();
    if (OnMouseLeave) OnMouseLeave(this);
    QPushButton::leaveEvent(event);
}

void TMakatiButton::mouseDoubleClickEvent(QMouseEvent* event) {
    // A double click is a second press, so it clicks twice.
    mousePressEvent(event);
}

void TMakatiButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) Repaint();
}

}  // namespace app
