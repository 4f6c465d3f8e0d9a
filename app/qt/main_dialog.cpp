#include "app/qt/main_dialog.h"

#include "app/pel_updator_dlg.h"
#include "app/qt/about_dlg.h"
#include "app/update_progress.h"
#include "resources/string_table.h"

#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include <algorithm>

namespace {

QMessageBox::Icon IconOf(unsigned type)
{
    switch (type & 0xF0) {
    case 0x10: return QMessageBox::Critical;     // stop (MB_ICONHAND)
    case 0x20: return QMessageBox::Question;
    case 0x30: return QMessageBox::Warning;      // exclamation
    case 0x40: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

}  // namespace

void PrepareMessageBox(QMessageBox& box, const std::string& text, const std::string& caption, unsigned type)
{
    box.setWindowTitle(QString::fromStdString(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    box.setIcon(IconOf(type));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
}

MainDialog::MainDialog(int instanceNumber, QWidget* parent) : TemplateDialog(IDD_PELUPDATOR_DIALOG, parent)
{
    lists[IDC_MIDI_IN];
    lists[IDC_MIDI_OUT];
    for (int id : {IDC_MIDI_IN, IDC_MIDI_OUT}) {
        QComboBox* combo = List(id);
        connect(combo, &QComboBox::currentIndexChanged, this, [this, id](int index) {
            if (fillingList) return;   // the window's own change, already mirrored
            std::lock_guard lock(listMutex);
            lists[id].selection = index;
        });
    }
    const std::pair<int, void (MainDialog::*)()> handlers[] = {
        {IDOK, &MainDialog::OnExecute},
        {IDCANCEL, &MainDialog::reject},
        {IDC_RESCAN, &MainDialog::OnRescanDevice},
        {IDC_VERSION_CHECK, &MainDialog::OnVersionCheck},
    };
    for (const auto& [id, handler] : handlers) {
        if (auto* button = qobject_cast<QPushButton*>(Control(id))) connect(button, &QPushButton::clicked, this, handler);
    }
    logic = std::make_unique<CPelUpdatorDlg>(*this, instanceNumber);
}

MainDialog::~MainDialog()
{
    BeginClosing();
    logic.reset();   // waits for the worker, which no longer reaches the window
}

bool MainDialog::OnInitDialog()
{
    if (initialised) return true;
    initialised = true;
    // No window menu to extend here: the about item goes to the context
    // menu and to F1.
    const QString item = QString::fromStdString(LoadStringById(IDS_ABOUTBOX));
    if (!item.isEmpty()) {
        aboutAction = new QAction(MenuTextWithMnemonic(item), this);
        aboutAction->setShortcut(QKeySequence(Qt::Key_F1));
        aboutAction->setShortcutContext(Qt::WindowShortcut);
        connect(aboutAction, &QAction::triggered, this, &MainDialog::OnAbout);
        addAction(aboutAction);
        setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    setWindowIcon(ApplicationIcon());
    return logic->OnInitDialog();
}

int MainDialog::DoModal()
{
    OnInitDialog();
    return exec();
}

void MainDialog::OnExecute()
{
    if (!closing) logic->OnExecute();
}

void MainDialog::OnVersionCheck()
{
    if (!closing) logic->OnVersionCheck();
}

void MainDialog::OnRescanDevice()
{
    if (!closing) logic->OnRescanDevice();
}

void MainDialog::OnAbout()
{
    if (closing) return;
    CAboutDlg about(this);
    openBoxes.emplace_back(&about);
    about.DoModal();
    std::erase_if(openBoxes, [&](const QPointer<QDialog>& box) { return box == &about || box.isNull(); });
}

void MainDialog::accept()
{
    OnExecute();
}

void MainDialog::done(int result)
{
    if (!closing) {
        if (asking) return;   // the question is open: it answers first
        asking = true;
        const bool close = logic->OnCloseRequest();
        asking = false;
        if (!close) return;
    }
    BeginClosing();
    QDialog::done(result);
}

void MainDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (!closing) logic->OnReturnKey();
        event->accept();
        return;
    }
    TemplateDialog::keyPressEvent(event);
}

void MainDialog::BeginClosing()
{
    {
        std::lock_guard lock(boxMutex);
        if (closing) return;
        closing = true;
    }
    boxDone.notify_all();   // a worker waiting for its box goes on at once
    for (const QPointer<QDialog>& box : openBoxes) {
        if (box) box->reject();
    }
    // Stops the reply timer, closes the ports and wakes a waiting worker
    // with the closing status, so that it ends without a message.
    if (logic) logic->OnDestroy();
}

bool MainDialog::OnUiThread() const
{
    return QThread::currentThread() == thread();
}

void MainDialog::OnUi(std::function<void()> call)
{
    if (OnUiThread()) {
        call();
        return;
    }
    // Queued events for this window die with it; `closing` drops the rest.
    QMetaObject::invokeMethod(
        this, [this, call = std::move(call)] {
            if (!closing) call();
        },
        Qt::QueuedConnection);
}

QComboBox* MainDialog::List(int id) const
{
    return qobject_cast<QComboBox*>(Control(id));
}

void MainDialog::SetWindowTitle(const std::string& title)
{
    OnUi([this, title] { setWindowTitle(QString::fromStdString(title)); });
}

void MainDialog::ShowStatusLine()
{
    auto* edit = qobject_cast<QLineEdit*>(Control(IDC_STATUS));
    if (edit == nullptr) return;
    std::string line = statusText;
    if (!overallText.empty()) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        line += (line.empty() ? "" : "   ") + overallText;
    }
    edit->setText(QString::fromStdString(line));
    edit->setCursorPosition(0);
}

void MainDialog::ShowUpdateProgress(const UpdateProgressView& view)
{
    OnUi([this, text = OverallProgressText(view)] {
        overallText = text;
        ShowStatusLine();
    });
}

void MainDialog::SetControlText(int id, const std::string& text)
{
    OnUi([this, id, text] {
        if (id == IDC_STATUS) {
            statusText = text;
            ShowStatusLine();
            return;
        }
        const QString value = QString::fromStdString(text);
        QWidget* control = Control(id);
        if (auto* edit = qobject_cast<QLineEdit*>(control)) {
            edit->setText(value);
            edit->setCursorPosition(0);   // a long line shows its beginning
        } else if (auto* button = qobject_cast<QPushButton*>(control)) {
            button->setText(value);
        } else if (auto* label = qobject_cast<QLabel*>(control)) {
            label->setText(value);
        }
    });
}

void MainDialog::EnableControl(int id, bool enable)
{
    OnUi([this, id, enable] {
        if (QWidget* control = Control(id)) control->setEnabled(enable);
    });
}

void MainDialog::ResetList(int id)
{
    if (List(id) == nullptr) return;
    {
        std::lock_guard lock(listMutex);
        lists[id] = ListMirror{};
    }
    OnUi([this, id] {
        fillingList = true;
        List(id)->clear();
        fillingList = false;
    });
}

void MainDialog::AddListItem(int id, const std::string& text)
{
    if (List(id) == nullptr) return;
    int selection;
    {
        std::lock_guard lock(listMutex);
        lists[id].items.push_back(text);
        selection = lists[id].selection;
    }
    OnUi([this, id, text, selection] {
        fillingList = true;
        QComboBox* combo = List(id);
        combo->addItem(QString::fromStdString(text));
        // Adding to an empty Qt list selects the item; a Windows list keeps
        // its selection, none after emptying.
        combo->setCurrentIndex(selection);
        fillingList = false;
    });
}

void MainDialog::SetListSelection(int id, int index)
{
    if (List(id) == nullptr) return;
    {
        std::lock_guard lock(listMutex);
        ListMirror& list = lists[id];
        if (index < 0 || index >= static_cast<int>(list.items.size())) index = -1;
        list.selection = index;
    }
    OnUi([this, id, index] {
        fillingList = true;
        List(id)->setCurrentIndex(index);
        fillingList = false;
    });
}

int MainDialog::GetListSelection(int id)
{
    std::lock_guard lock(listMutex);
    const auto it = lists.find(id);
    return it == lists.end() ? -1 : it->second.selection;
}

int MainDialog::GetListCount(int id)
{
    std::lock_guard lock(listMutex);
    const auto it = lists.find(id);
    return it == lists.end() ? -1 : static_cast<int>(it->second.items.size());
}

std::string MainDialog::GetListItemText(int id, int index)
{
    std::lock_guard lock(listMutex);
    const auto it = lists.find(id);
    if (it == lists.end() || index < 0 || index >= static_cast<int>(it->second.items.size())) return {};
    return it->second.items[static_cast<std::size_t>(index)];
}

void MainDialog::SetProgressRange(int id, std::int32_t low, std::int32_t high)
{
    OnUi([this, id, low, high] {
        auto* bar = qobject_cast<QProgressBar*>(Control(id));
        if (bar == nullptr) return;
        // An empty range would turn a Qt bar into a busy indicator: show it empty instead.
        const int top = high > low ? high : low + 1;
        const int pos = std::clamp(bar->value(), low, top);
        bar->setRange(low, top);
        bar->setValue(pos);   // the position stays inside the new range
    });
}

void MainDialog::SetProgressPos(int id, std::int32_t pos)
{
    OnUi([this, id, pos] {
        auto* bar = qobject_cast<QProgressBar*>(Control(id));
        if (bar != nullptr) bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
    });
}

int MainDialog::ShowBox(const std::string& text, const std::string& caption, unsigned type)
{
    if (closing) return IDOK;
    QMessageBox box(this);
    PrepareMessageBox(box, text, caption, type);
    if (boxHook && boxHook(box)) return IDOK;
    openBoxes.emplace_back(&box);
    box.exec();
    std::erase_if(openBoxes, [&](const QPointer<QDialog>& open) { return open == &box || open.isNull(); });
    return IDOK;
}

int MainDialog::MessageBox(const std::string& text, const std::string& caption, unsigned type)
{
    if (closing) return IDOK;
    if (OnUiThread()) return ShowBox(text, caption, type);

    // A worker's box: shown on the user-interface thread; the worker waits
    // until it has been closed, or until the window closes.
    auto shown = std::make_shared<bool>(false);   // guarded by boxMutex
    QMetaObject::invokeMethod(
        this,
        [this, shown, text, caption, type] {
            ShowBox(text, caption, type);
            {
                std::lock_guard lock(boxMutex);
                *shown = true;
            }
            boxDone.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(boxMutex);
    boxDone.wait(lock, [&] { return *shown || closing.load(); });
    return IDOK;
}

int MainDialog::AskQuestion(const std::string& text, const std::string& caption, const std::string& first,
                            const std::string& second)
{
    if (closing || !OnUiThread()) return IDCANCEL;
    QMessageBox box(this);
    box.setWindowTitle(QString::fromStdString(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    box.setIcon(QMessageBox::Warning);
    QPushButton* yes = box.addButton(QString::fromStdString(first), QMessageBox::DestructiveRole);
    QPushButton* no = box.addButton(QString::fromStdString(second), QMessageBox::RejectRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    openBoxes.emplace_back(&box);
    question = &box;
    box.exec();
    question = nullptr;
    std::erase_if(openBoxes, [&](const QPointer<QDialog>& open) { return open == &box || open.isNull(); });
    return !closing && box.clickedButton() == yes ? IDOK : IDCANCEL;
}

void MainDialog::DismissQuestion()
{
    OnUi([this] {
        if (question) question->reject();
    });
}

void MainDialog::FocusControl(int id)
{
    OnUi([this, id] {
        if (QWidget* control = Control(id)) control->setFocus(Qt::OtherFocusReason);
    });
}

void MainDialog::PostToUiThread(std::function<void()> call)
{
    QMetaObject::invokeMethod(
        this, [this, call = std::move(call)] {
            if (!closing) call();
        },
        Qt::QueuedConnection);
}
