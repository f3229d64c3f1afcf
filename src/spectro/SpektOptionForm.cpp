#include "spectro/SpektOptionForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "lockin/OsziFrame.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"
#include "spectro/SpektForm.h"
#include "spectro/SpektKinds.h"
#include "spectro/SpektOptions.h"
#include "widgets/SteadyLayout.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace qvt {

TSpektOptionForm* SpektOptionForm = nullptr;

namespace {
const char* const Opt = "SpektOpt";
const char* const ZNoiseKind = "X(t) z-noise";
constexpr uint32_t DefaultColours[4] = {0x000000, 0x0000FF, 0x008000, 0xFF0000};
constexpr int KindBias = 8, KindZVoltage = 4, KindFeedbackOn = 2;

QColor FromRgb(uint32_t c)
{
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
}

QString Quoted(const QString& text)
{
    return '"' + text + '"';
}

void SetRed(QWidget* w, bool red)
{
    w->setStyleSheet(red ? "background: red" : QString());
}
} // namespace

TSpektOptionForm::TSpektOptionForm(TSpektForm& spekt, QWidget* parent) : QWidget(parent, Qt::Window), spekt_(spekt)
{
    SpektOptionForm = this;
    setObjectName("SpektOptionForm");
    setWindowTitle("Spectroscopy Options");
    Build();
}

TSpektOptionForm::~TSpektOptionForm()
{
    if (SpektOptionForm == this)
        SpektOptionForm = nullptr;
}

QString TSpektOptionForm::Section() const
{
    return SpektModeName;
}

void TSpektOptionForm::Build()
{
    auto* top = new QVBoxLayout(this);
    Tabs = new QTabWidget(this);
    top->addWidget(Tabs);
    auto check = [this](const char* name, const char* caption, QWidget* page) {
        auto* b = new QCheckBox(caption, page);
        b->setObjectName(name);
        return b;
    };

    auto* excite = new QWidget;
    auto* ex = new QVBoxLayout(excite);
    CheckBox3 = check("CheckBox3", "Bias", excite);
    CheckBox4 = check("CheckBox4", "z-Voltage", excite);
    CheckBox5 = check("CheckBox5", "z-Feedback On", excite);
    for (QCheckBox* b : {CheckBox3, CheckBox4, CheckBox5}) {
        b->setEnabled(false);
        ex->addWidget(b);
    }
    auto* exGroup = new QButtonGroup(excite);
    for (const char* caption : {"Bias ", "z-Voltage", "Bias (z-feedback on)"}) {
        auto* r = new QRadioButton(caption, excite);
        exGroup->addButton(r);
        ex->addWidget(r);
    }
    Tabs->addTab(excite, "Excite");

    auto* cycle = new QWidget;
    auto* cy = new QGridLayout(cycle);
    RadioButton11 = new QRadioButton("1/2", cycle);
    RadioButton12 = new QRadioButton("full", cycle);
    RadioButton13 = new QRadioButton("N", cycle);
    RadioButton14 = new QRadioButton("Load Ramp", cycle);
    Edit1 = new QLineEdit(cycle);
    Edit1->setObjectName("Edit1");
    FileSelButton = new QPushButton("Browse", cycle);
    FileSelButton->setObjectName("FileSelButton");
    CheckBox1 = check("CheckBox1", "Lead In and Out", cycle);
    cy->addWidget(RadioButton11, 0, 0);
    cy->addWidget(RadioButton12, 1, 0);
    cy->addWidget(RadioButton13, 2, 0);
    cy->addWidget(Edit1, 2, 1);
    cy->addWidget(RadioButton14, 3, 0);
    cy->addWidget(FileSelButton, 3, 1);
    cy->addWidget(CheckBox1, 4, 0);
    // "Load Ramp" turns into a file name of any length: the column keeps the
    // width of its longest caption, so N's edit and Browse stay beside it.
    RadioButton14->setText("Please Load Ramp!");
    cy->setColumnMinimumWidth(0, RadioButton14->sizeHint().width());
    RadioButton14->setText("Load Ramp");
    RadioButton14->setSizePolicy(QSizePolicy::Ignored, RadioButton14->sizePolicy().verticalPolicy());
    for (QRadioButton* r : {RadioButton11, RadioButton12, RadioButton13, RadioButton14})
        connect(r, &QRadioButton::clicked, this, [this] { CycleClick(); });
    connect(Edit1, &QLineEdit::textEdited, this, [this] { Edit1->setStyleSheet("background: silver"); });
    connect(Edit1, &QLineEdit::returnPressed, this, [this] { Edit1Enter(); });
    connect(CheckBox1, &QCheckBox::clicked, this, [this](bool on) {
        if (UserIni)
            UserIni->WriteString(Section(), "Leadinout", on ? "On" : "Off");
        spekt_.SettingChanged("Lead in/out");
    });
    connect(FileSelButton, &QPushButton::clicked, this, [this] {
        const QString old = UserIni ? UserIni->ReadString(Section(), "BiasCycleName", "./default.dat") : QString();
        const QString name =
            GetOpenFileName(this, {}, QFileInfo(old).path(), "Text files (*.txt);;Data files(*.dat);;Any file (*.*)");
        if (name.isEmpty())
            return;
        const int n = spekt_.LoadRampFile(name);
        ShowMessage(MsgKind::Information, QString::number(n) + " Datapoints read!");
        if (UserIni)
            UserIni->WriteString(Section(), "BiasCycleName", Quoted(name));
        RadioButton14->setChecked(true);
        CycleClick();
    });
    cycleTab_ = Tabs->addTab(cycle, "Cycle");

    auto* acquire = new QWidget;
    auto* ac = new QFormLayout(acquire);
    ComboBoxDataPoints = new QComboBox(acquire);
    ComboBoxDataPoints->setObjectName("ComboBoxDataPoints");
    ComboBoxDataPoints->setEditable(true);
    // What is typed is what is stored: "5" stays 5 (and red), never 512.
    ComboBoxDataPoints->setInsertPolicy(QComboBox::NoInsert);
    ComboBoxDataPoints->setCompleter(nullptr);
    ComboBoxDataPoints->addItems({"16", "32", "64", "128", "256", "512", "1023"});
    ac->addRow("DataPoints", ComboBoxDataPoints);
    connect(ComboBoxDataPoints, &QComboBox::activated, this, [this] { DataPointsEnter(); });
    connect(ComboBoxDataPoints->lineEdit(), &QLineEdit::textEdited, this,
            [this] { ComboBoxDataPoints->setStyleSheet("background: silver"); });
    connect(ComboBoxDataPoints->lineEdit(), &QLineEdit::returnPressed, this, [this] { DataPointsEnter(); });
    EditAverage = new QLineEdit(acquire);
    EditAverage->setObjectName("EditAverage");
    ac->addRow("Average", EditAverage);
    connect(EditAverage, &QLineEdit::returnPressed, this, [this] { EditAverageEnter(); });
    auto* channels = new QHBoxLayout;
    auto* chGroup = new QButtonGroup(acquire);
    for (int i = 0; i < 4; ++i) {
        auto* r = new QRadioButton(QString::number(i + 1), acquire);
        r->setObjectName(QString("RadioButton%1").arg(i + 1));
        chGroup->addButton(r, i + 1);
        channels->addWidget(r);
        ChannelButtons[static_cast<size_t>(i)] = r;
    }
    connect(chGroup, &QButtonGroup::idClicked, this, [this](int id) { ChannelClick(id); });
    ac->addRow("Channel(s)", channels);
    Tabs->addTab(acquire, "Acquire");

    auto* view = new QWidget;
    auto* vi = new QFormLayout(view);
    ComboBox1 = new QComboBox(view);
    ComboBox1->setObjectName("ComboBox1");
    vi->addRow("x-Axis", ComboBox1);
    connect(ComboBox1, &QComboBox::activated, this, [this](int index) {
        if (UserIni)
            UserIni->WriteInteger(Section(), "ViewX", index);
        spekt_.DisplayData();
    });
    ComboBox3 = new QComboBox(view);
    ComboBox3->setObjectName("ComboBox3");
    ComboBox3->addItems({"1", "2", "3", "4"});
    CheckBoxVectors = check("CheckBoxVectors", "draw vectors with width", view);
    vi->addRow(CheckBoxVectors, ComboBox3);
    connect(ComboBox3, &QComboBox::activated, this, [this] {
        if (UserIni)
            UserIni->WriteString(Section(), "LineWidth", ComboBox3->currentText());
        spekt_.DisplayData();
    });
    connect(CheckBoxVectors, &QCheckBox::clicked, this, [this](bool on) {
        if (UserIni)
            UserIni->WriteBool(Section(), "Vectors", on);
        spekt_.DisplayData();
    });
    CheckBox2 = check("CheckBox2", "Show Lead In and Out", view);
    vi->addRow(CheckBox2);
    connect(CheckBox2, &QCheckBox::clicked, this, [this](bool on) {
        if (UserIni)
            UserIni->WriteBool(Section(), "ShowLeadInOut", on);
    });
    Image1 = new QLabel(view);
    Image1->setObjectName("Image1");
    Image1->setFixedSize(100, 95);
    Image1->setToolTip("Click in the image to change colour");
    Image1->installEventFilter(this);
    vi->addRow(Image1);
    Tabs->addTab(view, "View");

    auto* save = new QWidget;
    auto* sv = new QFormLayout(save);
    EditFileName = new QLineEdit(save);
    EditFileName->setObjectName("EditFileName");
    BrowseButton = new QPushButton("...", save);
    BrowseButton->setObjectName("BrowseButton");
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(EditFileName);
    nameRow->addWidget(BrowseButton);
    sv->addRow("file name", nameRow);
    EditExtension = new QLineEdit(save);
    EditExtension->setObjectName("EditExtension");
    sv->addRow("extension", EditExtension);
    CheckBoxNumbered = check("CheckBoxNumbered", "save numbered", save);
    Label4 = new QLabel(save);
    Label4->setObjectName("Label4");
    KeepPlaceWhenHidden(Label4);
    sv->addRow(CheckBoxNumbered, Label4);
    CheckBoxAutoSave = check("CheckBoxAutoSave", "auto save", save);
    CheckBoxComment = check("CheckBoxComment", "comment each file", save);
    CheckBoxSaveHeader = check("CheckBoxSaveHeader", "save colums header", save);
    xAxisCheck = check("xAxisCheck", "x-axis", save);
    yAxisCheck = check("yAxisCheck", "all data", save);
    for (QCheckBox* b : {CheckBoxAutoSave, CheckBoxComment, CheckBoxSaveHeader, xAxisCheck, yAxisCheck})
        sv->addRow(b);
    ComboBoxDelimiter = new QComboBox(save);
    ComboBoxDelimiter->setObjectName("ComboBoxDelimiter");
    ComboBoxDelimiter->addItems({"none", "TAB", "space", ",", "."});
    sv->addRow("delimiter", ComboBoxDelimiter);
    Tabs->addTab(save, "Save");
    for (QCheckBox* b :
         {CheckBoxNumbered, CheckBoxAutoSave, CheckBoxComment, CheckBoxSaveHeader, xAxisCheck, yAxisCheck})
        connect(b, &QCheckBox::clicked, this, [this] { WriteSaveKeys(); });
    connect(ComboBoxDelimiter, &QComboBox::activated, this, [this] { WriteSaveKeys(); });
    connect(EditFileName, &QLineEdit::textEdited, this, [this] { WriteSaveKeys(); });
    connect(EditExtension, &QLineEdit::textEdited, this, [this] { WriteSaveKeys(); });
    connect(BrowseButton, &QPushButton::clicked, this, [this] { BrowseButtonClick(); });

    CancelButton = new QPushButton("Cancel", this);
    CancelButton->setObjectName("CancelButton");
    connect(CancelButton, &QPushButton::clicked, this, &QWidget::close);
    top->addWidget(CancelButton);
}

void TSpektOptionForm::FormCreate()
{
    if (UserIni)
        move(UserIni->ReadFormPosLeft(Opt, 10), UserIni->ReadInteger(Opt, "FormPosTop", 1));
    LoadSettings();
    spekt_.ShowNextNumber = [this](int next) { ShowNextNumber(next); };
    spekt_.ShowAutoSave = [this](bool on) { ShowAutoSave(on); };
    spekt_.KindMadeCurrent = [this] { LoadSettings(); };
}

void TSpektOptionForm::FormDestroy()
{
    spekt_.ShowNextNumber = nullptr;
    spekt_.ShowAutoSave = nullptr;
    spekt_.KindMadeCurrent = nullptr;
    if (UserIni == nullptr)
        return;
    UserIni->WriteInteger(Opt, "FormPosLeft", x());
    UserIni->WriteInteger(Opt, "FormPosTop", y());
}

void TSpektOptionForm::LoadSettings()
{
    if (UserIni == nullptr)
        return;
    loading_ = true;
    TQVTIniFile& ini = *UserIni;
    const QString s = Section();
    const int32_t kind = spekt_.KindBits();
    CheckBox3->setChecked(kind & KindBias);
    CheckBox4->setChecked(kind & KindZVoltage);
    CheckBox5->setChecked(kind & KindFeedbackOn);
    const bool zNoise = s == ZNoiseKind;
    Tabs->setTabVisible(cycleTab_, !zNoise);
    CheckBox1->setChecked(ini.ReadString(s, "Leadinout", "On") == "On");
    const double cycle = ini.ReadFloat(s, "Cycle", 1.0);
    switch (SpektCycleChoice(cycle)) {
    case TSpektCycleChoice::Ramp:
        RadioButton14->setChecked(true);
        break;
    case TSpektCycleChoice::Half:
        RadioButton11->setChecked(true);
        break;
    case TSpektCycleChoice::Full:
        RadioButton12->setChecked(true);
        break;
    case TSpektCycleChoice::N:
        RadioButton13->setChecked(true);
        Edit1->setText(QString::number(static_cast<int>(Round(cycle))));
        break;
    }
    Edit1->setEnabled(RadioButton13->isChecked());
    EditAverage->setText(SpektAverageText(ini.ReadInteger(s, "CountAverage", 1)));
    ComboBoxDataPoints->setCurrentText(ini.ReadString(s, "DataPoints", "64"));
    const int countCh = ini.ReadInteger(s, "CountCh", 1);
    ChannelButtons[static_cast<size_t>(countCh >= 2 && countCh <= 4 ? countCh - 1 : 0)]->setChecked(true);
    CheckBoxVectors->setChecked(ini.ReadBool(s, "Vectors", false));
    ComboBox3->setCurrentText(ini.ReadString(s, "LineWidth", "1"));
    for (int i = 0; i < 4; ++i)
        Colours[static_cast<size_t>(i)] =
            static_cast<uint32_t>(ini.ReadInteger(s, QString("Color%1").arg(i), static_cast<int>(DefaultColours[i])));
    DrawSketch();
    ComboBox1->clear();
    ComboBox1->addItems({"time", "dz", "bias", "ch 1", "ch2", "ch3", "ch4"});
    if (zNoise)
        ComboBox1->addItem("Frequency");
    const int viewX = ini.ReadInteger(s, "ViewX", 0);
    if (viewX >= 0 && viewX < ComboBox1->count())
        ComboBox1->setCurrentIndex(viewX);
    CheckBox2->setChecked(ini.ReadBool(s, "ShowLeadInOut", true));
    EditFileName->setText(ini.ReadString(Opt, "SaveName", DefaultSaveName()));
    EditExtension->setText(ini.ReadString(Opt, "SaveExt", "txt"));
    CheckBoxNumbered->setChecked(ini.ReadBool(Opt, "SaveNumbered", false));
    CheckBoxAutoSave->setChecked(ini.ReadBool(Opt, "AutoSave", false));
    CheckBoxComment->setChecked(ini.ReadBool(Opt, "SaveComment", false));
    CheckBoxSaveHeader->setChecked(ini.ReadBool(Opt, "SaveHeader", false));
    xAxisCheck->setChecked(ini.ReadBool(Opt, "xAxis", false));
    yAxisCheck->setChecked(ini.ReadBool(Opt, "yAxisAll", true));
    ComboBoxDelimiter->setCurrentIndex(std::clamp(ini.ReadInteger(Opt, "DelimiterSave", 1), 0, 4));
    ShowNextNumber(ini.ReadInteger(Opt, "NextNumber", 0));
    loading_ = false;
}

void TSpektOptionForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    const int countCh = UserIni ? UserIni->ReadInteger(Section(), "CountCh", 1) : 1;
    ChannelButtons[static_cast<size_t>(countCh >= 2 && countCh <= 4 ? countCh - 1 : 0)]->setChecked(true);
}

void TSpektOptionForm::CycleClick()
{
    if (UserIni == nullptr)
        return;
    const QString s = Section();
    Edit1->setEnabled(RadioButton13->isChecked());
    if (RadioButton13->isChecked())
        Edit1Enter();
    if (RadioButton14->isChecked()) {
        CheckBox1->setEnabled(false);
        const QString name = UserIni->ReadString(s, "BiasCycleName", "./default.dat");
        if (spekt_.LoadRampFile(name) <= 0) {
            RadioButton14->setText("Please Load Ramp!");
            RadioButton14->setToolTip({});
        } else {
            RadioButton14->setText(QFileInfo(name).fileName());
            RadioButton14->setToolTip(name);
            UserIni->WriteFloat(s, "Cycle", -1.0);
            UserIni->WriteString(s, "BiasCycleName", Quoted(name));
        }
        spekt_.SettingChanged("the cycle");
        return;
    }
    CheckBox1->setEnabled(true);
    if (RadioButton11->isChecked())
        UserIni->WriteFloat(s, "Cycle", 0.5);
    else if (RadioButton12->isChecked())
        UserIni->WriteFloat(s, "Cycle", 1.0);
    spekt_.SettingChanged("the cycle");
}

void TSpektOptionForm::Edit1Enter()
{
    const std::optional<int> n = SpektCycleCount(Edit1->text());
    SetRed(Edit1, !n);
    if (!n)
        return;
    Edit1->setText(QString::number(*n));
    if (UserIni)
        UserIni->WriteFloat(Section(), "Cycle", *n);
    spekt_.SettingChanged("the cycle");
}

void TSpektOptionForm::DataPointsEnter()
{
    const std::optional<int> n = SpektPointCount(ComboBoxDataPoints->currentText());
    SetRed(ComboBoxDataPoints, !n);
    if (n && UserIni)
        UserIni->WriteInteger(Section(), "DataPoints", *n);
    spekt_.SettingChanged("DataPoints");
}

void TSpektOptionForm::EditAverageEnter()
{
    const std::optional<int> n = SpektAverageCount(EditAverage->text());
    SetRed(EditAverage, !n);
    if (!n)
        return;
    if (UserIni)
        UserIni->WriteInteger(Section(), "CountAverage", *n);
    EditAverage->setText(SpektAverageText(*n));
    spekt_.ApplySaveOptions();
}

void TSpektOptionForm::ChannelClick(int count)
{
    if (UserIni)
        UserIni->WriteInteger(Section(), "CountCh", count);
    spekt_.SetupChannels();
}

void TSpektOptionForm::DrawSketch()
{
    QImage sketch(Image1->size(), QImage::Format_RGB32);
    sketch.fill(Qt::white);
    QPainter p(&sketch);
    const QPoint points[5] = {{25, 47}, {36, 12}, {48, 82}, {60, 12}, {74, 47}};
    for (int i = 0; i < 4; ++i) {
        p.setPen(QPen(FromRgb(Colours[static_cast<size_t>(i)]), 3));
        p.drawLine(points[i], points[i + 1]);
    }
    p.end();
    Image1->setPixmap(QPixmap::fromImage(sketch));
}

void TSpektOptionForm::ColourClick(int x, uint32_t colour)
{
    const int band = SpektColourBand(x);
    if (band < 0)
        return;
    Colours[static_cast<size_t>(band)] = colour;
    if (UserIni) {
        for (int i = 0; i < 4; ++i)
            UserIni->WriteInteger(Section(), QString("Color%1").arg(i),
                                  static_cast<int>(Colours[static_cast<size_t>(i)]));
    }
    DrawSketch();
}

bool TSpektOptionForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Image1 && event->type() == QEvent::MouseButtonPress) {
        const int x = static_cast<QMouseEvent*>(event)->position().toPoint().x();
        if (SpektColourBand(x) < 0)
            return true;
        const QColor c = QColorDialog::getColor(FromRgb(Colours[static_cast<size_t>(SpektColourBand(x))]), this);
        if (c.isValid())
            ColourClick(x, static_cast<uint32_t>(c.red() | (c.green() << 8) | (c.blue() << 16)));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TSpektOptionForm::WriteSaveKeys()
{
    if (loading_ || UserIni == nullptr)
        return;
    TQVTIniFile& ini = *UserIni;
    ini.WriteString(Opt, "SaveName", Quoted(EditFileName->text()));
    ini.WriteString(Opt, "SaveExt", Quoted(EditExtension->text()));
    ini.WriteBool(Opt, "SaveNumbered", CheckBoxNumbered->isChecked());
    ini.WriteBool(Opt, "AutoSave", CheckBoxAutoSave->isChecked());
    ini.WriteBool(Opt, "SaveComment", CheckBoxComment->isChecked());
    ini.WriteBool(Opt, "SaveHeader", CheckBoxSaveHeader->isChecked());
    ini.WriteBool(Opt, "xAxis", xAxisCheck->isChecked());
    ini.WriteBool(Opt, "yAxisAll", yAxisCheck->isChecked());
    ini.WriteInteger(Opt, "DelimiterSave", ComboBoxDelimiter->currentIndex());
    ShowNextNumber(ini.ReadInteger(Opt, "NextNumber", 0));
    spekt_.ApplySaveOptions();
}

void TSpektOptionForm::BrowseButtonClick()
{
    const QString ext = EditExtension->text();
    const QString start = EditFileName->text() + "." + ext;
    const QString name = AskSaveName ? AskSaveName(start, ext) : GetSaveFileName(this, {}, start, "*." + ext);
    if (name.isEmpty())
        return;
    const QFileInfo info(name);
    EditExtension->setText(info.suffix());
    EditFileName->setText(info.suffix().isEmpty() ? name : info.path() + "/" + info.completeBaseName());
    WriteSaveKeys();
}

void TSpektOptionForm::ShowNextNumber(int next)
{
    Label4->setVisible(CheckBoxNumbered->isChecked());
    Label4->setText("next nr.:" + QString::number(next));
}

void TSpektOptionForm::ShowAutoSave(bool on)
{
    CheckBoxAutoSave->setChecked(on);
}

} // namespace qvt
