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

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

namespace qvt {

TSetupForm* SetupForm = nullptr;

namespace {

constexpr int FormWidth = 310;
constexpr int LabelWidth = 100;
constexpr int DefaultWindowSize = 256;
constexpr int DeferredSwitchPollMs = 50;

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

    // Looks whether the save is done while boxes wait for it.
    deferredTimer_ = new QTimer(this);
    deferredTimer_->setInterval(DeferredSwitchPollMs);
    connect(deferredTimer_, &QTimer::timeout, this, &TSetupForm::RunDeferredSwitches);

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

QList<TChildForm*> TSetupForm::WindowsOf(int index) const
{
    QList<TChildForm*> forms;
    for (TChildForm* form : ImageWindows()) {
        if (form->BufferIndex() == index)
            forms.append(form);
    }
    return forms;
}

void TSetupForm::TearDownGrid(const std::set<int>& kept)
{
    // Unchecking frees each buffer and closes its windows; the Tag keeps the
    // saved choice as it is. A channel the new grid keeps on keeps its
    // buffer and windows: its acquired data stays.
    tearingDown_ = true;
    for (TMyCheckBox* box : boxes_) {
        const TBoxKey key = ParseBoxName(box->objectName());
        if (box->isChecked() && !(key.Valid() && kept.count(key.BufferIndex()) > 0)) {
            box->Tag = -1;
            box->setChecked(false);
        }
    }
    tearingDown_ = false;
    for (TMyCheckBox* box : boxes_) {
        box->blockSignals(true); // a kept box goes without running its handler
        delete box;
    }
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
    if (SaveUnderWay && SaveUnderWay()) {
        saveRebuildPending_ = true;
        deferredTimer_->start();
        return;
    }
    TBusy busy(*this);

    // What the new grid has on, against what is on now.
    channels_ = MainIni != nullptr ? ReadChoiceChannels(*MainIni) : std::vector<TChoiceChannel>{};
    const bool fastMode = FastSpeedButtonDown && FastSpeedButtonDown();
    std::set<int> wanted;
    for (const TChoiceChannel& c : channels_) {
        for (int plane = 0; plane < ImagePlaneCount; ++plane) {
            const bool saved = MainIni != nullptr && SavedBoxChecked(*MainIni, c.Slot, plane);
            if (InitialBoxState(plane, fastMode, c.Fast, saved).Checked)
                wanted.insert(ImageChannelIndex(c.Slot, plane));
        }
    }
    std::set<int> on;
    for (TMyCheckBox* box : boxes_) {
        const TBoxKey key = ParseBoxName(box->objectName());
        if (box->isChecked() && key.Valid())
            on.insert(key.BufferIndex());
    }
    std::set<int> kept;
    std::set_intersection(on.begin(), on.end(), wanted.begin(), wanted.end(), std::inserter(kept, kept.end()));
    // Only a change of buffers needs the scan paused; a rebuild that keeps
    // them all (new labels, a scale window closed) leaves the scan running.
    std::optional<TChannelSwitcher::TPause> pause;
    if (on != wanted)
        pause.emplace(switcher_);
    TearDownGrid(kept);

    const TGridLayout layout = LayoutGrid(channels_, cancelButton_->height());
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
            if (kept.count(ImageChannelIndex(c.Slot, plane)) > 0)
                AdoptImageWindows(made[plane], c, plane);
            else
                made[plane]->setChecked(state.Checked);
        }
    }

    resize(FormWidth, layout.ClientHeight);
    cancelButton_->move((FormWidth - cancelButton_->width()) / 2, layout.CancelTop);
    edit1_->move(GridDacColumn, layout.CancelTop + 2);
    UpdateSummary();
    BoxCount = static_cast<int>(boxes_.size());
    if (!kept.empty() && FillChannelComboBox)
        FillChannelComboBox(); // labels may have changed
}

void TSetupForm::AdoptImageWindows(TMyCheckBox* box, const TChoiceChannel& channel, int plane)
{
    {
        const QSignalBlocker block(box);
        box->setChecked(true);
    }
    const int index = ImageChannelIndex(channel.Slot, plane);
    switcher_.Rename(channel.Slot, plane, channel.Label);
    for (TChildForm* form : WindowsOf(index)) {
        form->CheckBox = box;
        form->setWindowTitle(channel.Label + "  " + PlaneSuffixes[plane]);
        // The scale table may have turned the channel's axis round.
        form->InitColorTable();
    }
    if (MainIni != nullptr && ChannelInvisible(*MainIni, channel.Slot))
        box->setEnabled(false);
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
    if (SaveUnderWay && SaveUnderWay()) {
        if (!deferred_.contains(box))
            deferred_.append(box);
        deferredTimer_->start();
        return;
    }

    TBusy busy(*this);
    // The waits for the threads deliver no events: nothing else runs until
    // this click is done.
    TChannelSwitcher::TPause pause(switcher_);

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
    if (ChannelsChanged)
        ChannelsChanged();
}

void TSetupForm::RunDeferredSwitches()
{
    if (SaveUnderWay && SaveUnderWay())
        return;
    deferredTimer_->stop();
    if (std::exchange(saveRebuildPending_, false)) {
        // The new grid takes the boxes' states from the settings.
        deferred_.clear();
        BuildGrid();
        return;
    }
    const QList<QPointer<TMyCheckBox>> boxes = std::exchange(deferred_, {});
    for (const QPointer<TMyCheckBox>& box : boxes) {
        if (box == nullptr)
            continue;
        // Only what still differs: a box clicked twice meanwhile is as it was.
        const TBoxKey key = ParseBoxName(box->objectName());
        if (key.Valid() && box->isChecked() != switcher_.Acquisition().Channels()[key.BufferIndex()].HasBuffer())
            CheckBoxClick(box);
    }
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
