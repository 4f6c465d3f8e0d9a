#include "app/qt/template_dialog.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

constexpr const char* kPreferredFace = "MS UI Gothic";
constexpr int kIconPixels = 32;   // an icon static takes the size of the icon

// a * b / c rounded half away from zero, as MulDiv does for the values here.
int MulDiv(int a, int b, int c)
{
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

QString Text(const char* text) { return QString::fromUtf8(text); }

}  // namespace

DialogBaseUnits BaseUnitsFromMetrics(int widthOf52Letters, int fontHeight)
{
    return {(widthOf52Letters / 26 + 1) / 2, fontHeight};
}

DialogBaseUnits BaseUnitsOf(const QFont& font)
{
    const QFontMetrics metrics(font);
    return BaseUnitsFromMetrics(metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
                                metrics.height());
}

QRect MapDialogRect(int x, int y, int cx, int cy, DialogBaseUnits units)
{
    return QRect(MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(cx, units.x, 4), MulDiv(cy, units.y, 8));
}

QFont DialogFontFor(const DialogTemplate& dialogTemplate)
{
    const QString face = Text(dialogTemplate.font.face);
    QFont font;
    if (face == QLatin1String(kPreferredFace) && QFontDatabase::families().contains(face)) {
        font = QFont(face);
    } else {
        font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    }
    font.setPointSize(dialogTemplate.font.pointSize);
    font.setWeight(dialogTemplate.font.weight >= 700 ? QFont::Bold : QFont::Normal);
    font.setItalic(dialogTemplate.font.italic);
    return font;
}

QIcon ApplicationIcon()
{
    static const QIcon icon = [] {
        QIcon result;
        for (const char* size : {"32", "48", "256"}) {
            result.addFile(QStringLiteral(":/q9-updater/q9-updater-%1.png").arg(QLatin1String(size)));
        }
        return result;
    }();
    return icon;
}

QString MenuTextWithMnemonic(const QString& text)
{
    const int open = text.indexOf(QStringLiteral("(&"));
    if (open < 0 || open + 3 >= text.size() || text.at(open + 3) != QLatin1Char(')')) return text;
    const QChar key = text.at(open + 2);
    QString plain = text;
    plain.remove(open, 4);
    const int at = plain.indexOf(key, 0, Qt::CaseInsensitive);
    if (at < 0) return text;
    plain.insert(at, QLatin1Char('&'));
    return plain;
}

QSize FitToScreen(QSize client, QSize available)
{
    // Room for the window's frame and title bar, which the window system adds.
    const QSize room = (available - QSize(kFrameAllowance, kTitleAllowance)).expandedTo(QSize(1, 1));
    return client.boundedTo(room);
}

TemplateDialog::TemplateDialog(int templateId, QWidget* parent)
    : QDialog(parent), dialogTemplate(FindDialogTemplate(templateId))
{
    // Only the two templates of this program are ever asked for.
    Q_ASSERT(dialogTemplate != nullptr);
    setFont(DialogFontFor(*dialogTemplate));
    units = BaseUnitsOf(font());
    setWindowTitle(Text(dialogTemplate->caption));
    const QRect client = MapDialogRect(0, 0, dialogTemplate->cx, dialogTemplate->cy, units);
    // The controls sit on a canvas of the template's size, in a scroll area
    // that shows it whole where the screen has room and scrolls where a
    // small screen or a large scale leaves too little.
    canvas = new QWidget;
    canvas->setFixedSize(client.size());
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidget(canvas);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    setMaximumSize(client.size());
    resize(FitToScreen(client.size(), screen() != nullptr ? screen()->availableGeometry().size() : client.size()));

    QWidget* previousStop = nullptr;
    for (const DialogControl& control : dialogTemplate->controls) {
        QWidget* widget = CreateControl(control);
        widget->setProperty("controlId", control.id);
        if (!(control.style & WS_VISIBLE)) widget->hide();
        if (control.style & WS_TABSTOP) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previousStop != nullptr) setTabOrder(previousStop, widget);
            previousStop = widget;
        } else {
            widget->setFocusPolicy(Qt::NoFocus);
        }
        controls.push_back(widget);
    }
}

QWidget* TemplateDialog::Control(int id) const
{
    for (QWidget* widget : controls) {
        if (widget->property("controlId").toInt() == id) return widget;
    }
    return nullptr;
}

QWidget* TemplateDialog::CreateControl(const DialogControl& control)
{
    const QRect rect = MapDialogRect(control.x, control.y, control.cx, control.cy, units);
    const std::uint32_t low = control.style & 0xFFFF;
    switch (control.kind) {
    case ControlClass::Button: {
        auto* button = new QPushButton(Text(control.text), canvas);
        // The Enter key goes to the dialog's default id, IDOK, wherever the
        // focus is: a focused button does not take it for itself (Space
        // presses that one).  The default style of any other button only
        // draws its frame.
        button->setAutoDefault(false);
        if (control.id == 1 && (low & 0xF) == BS_DEFPUSHBUTTON) button->setDefault(true);
        button->setGeometry(rect);
        return button;
    }
    case ControlClass::Static: {
        auto* label = new QLabel(canvas);
        if ((low & 0x1F) == SS_ICON) {
            if (control.resourceId == IDR_MAINFRAME) label->setPixmap(ApplicationIcon().pixmap(kIconPixels, kIconPixels));
            label->setGeometry(rect.x(), rect.y(), kIconPixels, kIconPixels);
        } else {
            label->setText(Text(control.text));
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap((low & 0x1F) == SS_LEFT);   // as a Windows static text wraps
            label->setGeometry(rect);
        }
        return label;
    }
    case ControlClass::Edit: {
        auto* edit = new QLineEdit(Text(control.text), canvas);
        edit->setReadOnly((low & ES_READONLY) != 0);
        if (!(control.style & WS_BORDER)) {
            // A borderless read-only line reads like text on the dialog.
            edit->setFrame(false);
            QPalette palette = edit->palette();
            palette.setColor(QPalette::Base, palette.color(QPalette::Window));
            edit->setPalette(palette);
        }
        edit->setGeometry(rect);
        return edit;
    }
    case ControlClass::ComboBox: {
        auto* combo = new QComboBox(canvas);
        // The template's height is that of the dropped-down list.
        const int height = std::min(combo->sizeHint().height(), rect.height());
        const int itemHeight = std::max(1, QFontMetrics(font()).height() + 2);
        combo->setMaxVisibleItems(std::max(1, (rect.height() - height) / itemHeight));
        combo->setGeometry(rect.x(), rect.y(), rect.width(), height);
        return combo;
    }
    case ControlClass::Progress: {
        auto* bar = new QProgressBar(canvas);
        bar->setTextVisible(false);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setGeometry(rect);
        return bar;
    }
    }
    return new QWidget(canvas);
}
