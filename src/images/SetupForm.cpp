#include "images/SetupForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "images/ChildForm.h"

#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPainter>
#include <QPolygon>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>

namespace qvt {

TSetupForm* SetupForm = nullptr;

namespace {

constexpr int FormWidth = 310;
constexpr int LabelWidth = 100;
constexpr int DefaultWindowSize = 256;

// The small sign in front of a channel the fast scan can take.
QPixmap FastPicture()
{
    QPixmap picture(GridBoxWidth, GridBoxWidth);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(160, 100, 0));
    painter.setBrush(QColor(255, 200, 0));
    painter.drawPolygon(QPolygon({{10, 1}, {3, 9}, {8, 9}, {6, 16}, {14, 6}, {9, 6}, {12, 1}}));
    return picture;
}

} // namespace

TMyCheckBox::TMyCheckBox(QWidget* parent) : QCheckBox(parent)
{
    connect(this, &QCheckBox::toggled, this, [this] { emit changed(this); });
}

TSetupForm::TBusy::TBusy(TSetupForm& form) : form_(form)
{
    ++form_.busy_;
}

TSetupForm::TBusy::~TBusy()
{
    if (--form_.busy_ == 0 && form_.rebuildPending_) {
        form_.rebuildPending_ = false;
        // Not from here: a box whose signal is still on the stack must outlive it.
        QTimer::singleShot(0, &form_, &TSetupForm::BuildGrid);
    }
}

TSetupForm::TSetupForm(TDeviceWorkers& device, QMdiArea* mdiArea, QWidget* parent)
    : TSetupForm(std::make_unique<TDeviceAcquisition>(device), mdiArea, parent)
{
}

TSetupForm::TSetupForm(std::unique_ptr<IChannelAcquisition> acquisition, QMdiArea* mdiArea, QWidget* parent)
    : QWidget(parent, Qt::Tool), acquisition_(std::move(acquisition)), switcher_(*acquisition_), mdiArea_(mdiArea)
{
    setObjectName("SetupForm");
    setWindowTitle("Acquire");
    BuildControls();
    if (SetupForm == nullptr)
        SetupForm = this;
}

TSetupForm::~TSetupForm()
{
    // The image windows belong to the grid, and read buffers the grid's
    // acquisition owns: they go first.
    for (const QPointer<TChildForm>& form : windows_) {
        if (form == nullptr)
            continue;
        if (QMdiSubWindow* frame = form->SubWindow())
            delete frame;
        else
            delete form.data();
    }
    if (SetupForm == this)
        SetupForm = nullptr;
}

void TSetupForm::BuildControls()
{
    cancelButton_ = new QPushButton("Cancel", this);
    cancelButton_->setObjectName("CancelButton");
    cancelButton_->resize(75, 25);
    connect(cancelButton_, &QPushButton::clicked, this, &TSetupForm::CancelButtonClick);

    edit1_ = new QLineEdit(this);
    edit1_->setObjectName("Edit1");
    edit1_->resize(90, 21);
    connect(edit1_, &QLineEdit::textChanged, this, &TSetupForm::Edit1Change);
    resize(FormWidth, GridMinClientHeight);
}

void TSetupForm::FormCreate()
{
    if (MainIni != nullptr)
        move(MainIni->ReadFormPosLeft("Setup", 10), MainIni->ReadInteger("Setup", "FormPosTop", 1));
    for (int plane = 0; plane < ImagePlaneCount; ++plane)
        PlaneSuffixes[plane] = PlaneSuffix(plane);
    BuildGrid();
    if (FillChannelComboBox)
        FillChannelComboBox();
}

void TSetupForm::FormDestroy()
{
    if (MainIni != nullptr) {
        MainIni->WriteInteger("Setup", "FormPosLeft", x());
        MainIni->WriteInteger("Setup", "FormPosTop", y());
    }
    if (UserIni != nullptr) {
        for (TChildForm* form : ImageWindows())
            form->WriteSettings(*UserIni);
    }
}

void TSetupForm::CancelButtonClick()
{
    close(); // the window only hides
}

void TSetupForm::Edit1Change()
{
    QPalette p = edit1_->palette();
    p.setColor(QPalette::Base, QColor(192, 192, 192));
    edit1_->setPalette(p);
}

// ---- the grid ---------------------------------------------------------------------------------

TMyCheckBox* TSetupForm::Box(int slot, int plane) const
{
    const QString name = BoxName(slot, plane);
    for (TMyCheckBox* box : boxes_) {
        if (box->objectName() == name)
            return box;
    }
    return nullptr;
}

QString TSetupForm::LabelOf(int slot) const
{
    for (const TChoiceChannel& c : channels_) {
        if (c.Slot == slot)
            return c.Label;
    }
    return ChannelName(slot);
}

TMyCheckBox* TSetupForm::MakeBox(int slot, int plane, int x, int y, const QString& hint)
{
    auto* box = new TMyCheckBox(this);
    box->setObjectName(BoxName(slot, plane));
    box->setToolTip(hint);
    box->setGeometry(x, y, GridBoxWidth, GridRowHeight);
    box->Tag = static_cast<int>(boxes_.size());
    box->show();
    boxes_.append(box);
    connect(box, &TMyCheckBox::changed, this, &TSetupForm::CheckBoxClick);
    return box;
}

void TSetupForm::TearDownGrid()
{
    // Unchecking frees each buffer and closes its windows; the Tag keeps the
    // saved choice as it is.
    tearingDown_ = true;
    for (TMyCheckBox* box : boxes_) {
        if (box->isChecked()) {
            box->Tag = -1;
            box->setChecked(false);
        }
    }
    tearingDown_ = false;
    qDeleteAll(boxes_);
    boxes_.clear();
    qDeleteAll(rowWidgets_);
    rowWidgets_.clear();
}

void TSetupForm::BuildGrid()
{
    if (busy_ > 0) {
        rebuildPending_ = true;
        return;
    }
    TBusy busy(*this);
    // One pause over the whole rebuild rather than one per box.
    TChannelSwitcher::TPause pause(switcher_);
    TearDownGrid();

    channels_ = MainIni != nullptr ? ReadChoiceChannels(*MainIni) : std::vector<TChoiceChannel>{};
    const TGridLayout layout = LayoutGrid(channels_, cancelButton_->height());
    const bool fastMode = FastSpeedButtonDown && FastSpeedButtonDown();
    for (size_t i = 0; i < channels_.size(); ++i) {
        const TChoiceChannel& c = channels_[i];
        const TGridRow& row = layout.Rows[i];
        if (c.Fast) {
            auto* picture = new QLabel(this);
            picture->setPixmap(FastPicture());
            picture->setScaledContents(true);
            picture->setGeometry(row.X - GridBoxWidth, row.Y, GridBoxWidth, GridBoxWidth);
            picture->show();
            rowWidgets_.append(picture);
        }
        auto* label = new QLabel(c.Label, this);
        label->setGeometry(row.X + 3 * GridBoxWidth, row.Y, LabelWidth, GridRowHeight);
        if (c.Fast) {
            QPalette p = label->palette();
            p.setColor(QPalette::WindowText, QColor(0, 128, 0));
            label->setPalette(p);
        }
        label->show();
        rowWidgets_.append(label);

        const std::array<QString, ImagePlaneCount> hints = {"Forward", "Revers", "Fly"};
        std::array<TMyCheckBox*, ImagePlaneCount> made{};
        for (int plane = 0; plane < ImagePlaneCount; ++plane)
            made[plane] = MakeBox(c.Slot, plane, row.X + plane * GridBoxWidth, row.Y, hints[plane]);
        // Checking runs the box's handler: this is how the saved windows come back.
        for (int plane = 0; plane < ImagePlaneCount; ++plane) {
            const bool saved = MainIni != nullptr && SavedBoxChecked(*MainIni, c.Slot, plane);
            const TBoxState state = InitialBoxState(plane, fastMode, c.Fast, saved);
            made[plane]->setEnabled(state.Enabled);
            made[plane]->setChecked(state.Checked);
        }
    }

    resize(FormWidth, layout.ClientHeight);
    cancelButton_->move((FormWidth - cancelButton_->width()) / 2, layout.CancelTop);
    edit1_->move(GridDacColumn, layout.CancelTop + 2);
    UpdateSummary();
    BoxCount = static_cast<int>(boxes_.size());
}

void TSetupForm::UpdateSummary()
{
    std::vector<bool> checked;
    checked.reserve(boxes_.size());
    for (TMyCheckBox* box : boxes_)
        checked.push_back(box->isChecked());
    const TChoiceSummary s = Summarize(checked);
    AnyBackwardChecked = s.AnyBackward;
    AnyFlyChecked = s.AnyFly;
    acquisition_->PublishSummary(s);
    emit summaryChanged(s.AnyBackward, s.AnyFly);
    // Not while the grid goes: the first box, already off, would open a
    // window again that nothing closes.
    if (s.TurnOnFirstForward && !tearingDown_)
        boxes_.front()->setChecked(true); // runs its handler, which summarises again
}

// ---- one box ----------------------------------------------------------------------------------

void TSetupForm::CheckBoxClick(TMyCheckBox* box)
{
    const TBoxKey key = ParseBoxName(box->objectName());
    if (!key.Valid())
        return;
    const bool checked = box->isChecked();
    const bool saving = box->Tag != -1 && MainIni != nullptr;
    if (saving)
        SaveBoxChecked(*MainIni, key.Slot, key.Plane, checked);

    TBusy busy(*this);
    QPointer<TMyCheckBox> guard(box);
    TChannelSwitcher::TPause pause(switcher_);
    // The waits for the threads let events run: a click on this box that came
    // meanwhile has been handled by its own call already.
    if (guard == nullptr || guard->isChecked() != checked)
        return;

    if (checked) {
        const bool opened = switcher_.SwitchOn(key.Slot, key.Plane, LabelOf(key.Slot),
                                               [&](int index) { OpenImageWindow(box, key, index); });
        if (opened) {
            if (FillChannelComboBox)
                FillChannelComboBox();
        } else {
            // Refused (the operator was told): the box goes back without
            // running this handler again, which would pause a second time.
            const QSignalBlocker block(box);
            box->setChecked(false);
            if (saving)
                SaveBoxChecked(*MainIni, key.Slot, key.Plane, false);
        }
    } else {
        const bool freed = switcher_.SwitchOff(key.Slot, key.Plane, [this](int index) { CloseImageWindows(index); });
        if (!freed) {
            if (box->Tag == -1) {
                // The grid goes away: its windows go with it, the buffer stays
                // with the scan that would not stop.
                CloseImageWindows(key.BufferIndex());
            } else {
                // The scan would not stop: buffer and windows stay, so the box
                // shows them as on.
                const QSignalBlocker block(box);
                box->setChecked(true);
                if (saving)
                    SaveBoxChecked(*MainIni, key.Slot, key.Plane, true);
            }
        }
    }
    UpdateSummary();
    // The 3D view refreshes here once it exists.
}

void TSetupForm::OpenImageWindow(TMyCheckBox* box, const TBoxKey& key, int index)
{
    TDaten& buffer = acquisition_->Channels()[index];
    auto* form = new TChildForm(buffer, index, acquisition_->DisplayThread());
    form->CheckBox = box;
    form->setWindowTitle(LabelOf(key.Slot) + "  " + PlaneSuffixes[key.Plane]);
    form->Section = WindowSection(key.Slot, key.Plane);
    if (UserIni != nullptr)
        form->ReadSettings(*UserIni);
    form->ResizeImage();
    windows_.append(form);

    const auto read = [&](const char* name, int def) {
        return UserIni != nullptr ? UserIni->ReadInteger(form->Section, name, def) : def;
    };
    QWidget* frame = form;
    if (mdiArea_ != nullptr)
        frame = form->AddToMdiArea(mdiArea_);
    frame->move(read("Left", 3 * index), read("Top", 3 * index));
    frame->resize(read("Width", DefaultWindowSize), read("Height", DefaultWindowSize));

    if (MainIni != nullptr && ChannelInvisible(*MainIni, key.Slot)) {
        // Acquired, but no window to see: it stays hidden and its box
        // disabled. It keeps its saved size, so the size written back on
        // closing is still the one to use when the channel is shown again.
        box->setEnabled(false);
        return;
    }
    form->FormActivate();
    frame->show();
}

void TSetupForm::CloseImageWindows(int index)
{
    QList<QPointer<TChildForm>> kept;
    for (const QPointer<TChildForm>& form : windows_) {
        if (form == nullptr)
            continue;
        if (form->BufferIndex() != index) {
            kept.append(form);
            continue;
        }
        if (UserIni != nullptr)
            form->WriteSettings(*UserIni);
        form->Release();
    }
    windows_ = kept;
}

QList<TChildForm*> TSetupForm::ImageWindows() const
{
    QList<TChildForm*> forms;
    for (const QPointer<TChildForm>& form : windows_) {
        if (form != nullptr)
            forms.append(form);
    }
    return forms;
}

} // namespace qvt
