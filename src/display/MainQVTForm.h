#pragma once
// The program's frame window: a multiple-document window whose children are
// the image windows. Its creation opens the two settings files the whole
// program reads.

#include <QMainWindow>

#include <memory>

class QMdiArea;

namespace qvt {

class TQVTIniFile;

class TMainQVTForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainQVTForm(QWidget* parent = nullptr);
    ~TMainQVTForm() override;

    // Opens MainIni and UserIni for the settings name. False when no settings
    // file exists (the operator has been told; the program ends with status 0).
    bool LoadIniFiles(const QString& baseName);
    // A second start asked this instance to come forward.
    void WMRestore();
    QMdiArea* MdiArea() const { return mdiArea_; }
    QString IniFileName() const { return iniFileName_; }

private:
    QMdiArea* mdiArea_ = nullptr;
    QString iniFileName_;
    std::unique_ptr<TQVTIniFile> mainIni_;
    std::unique_ptr<TQVTIniFile> userIni_;
};

extern TMainQVTForm* MainQVTForm;

} // namespace qvt
