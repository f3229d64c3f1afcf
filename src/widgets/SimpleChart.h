#pragma once
// The program's own x/y chart control. Each paint draws the whole chart into
// an image first and copies it onto the control, so the picture last shown is
// what goes to the clipboard.

#include "widgets/ChartScale.h"

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

#include <vector>

class QPainter;

namespace qvt {

class TSimpleChart : public QWidget {
public:
    explicit TSimpleChart(QWidget* parent = nullptr);

    void AddSeries(TChartSeries* series);

    int XToPixel(double x) const;
    int YToPixel(double y) const;
    double PixelToX(int px) const;
    double PixelToY(int py) const;

    // The last drawn picture as an image (PNG on the clipboard).
    void CopyToClipboard();
    void CopyDataToClipboard(const QString& separator, const QString& header, bool withX);
    // False when there is nothing to write or the file cannot be written
    // (an old file of that name then stays as it was).
    bool SaveDataToFile(const QString& fileName, const QString& separator, bool withX, const QString& header);

    // Draws a fresh picture at the control's size and keeps it.
    const QImage& RenderPicture();
    const QImage& Picture() const { return picture_; }
    const TPlotRect& PlotRect() const { return plot_; }
    // The tick labels of the last picture and where they stand.
    struct TDrawnLabel {
        QRect Rect;
        QString Text;
    };
    const std::vector<TDrawnLabel>& XLabels() const { return xLabels_; }
    const std::vector<TDrawnLabel>& YLabels() const { return yLabels_; }

    QColor Color;
    QColor BackColor = Qt::white;
    TChartTitle Title;
    TChartAxis XAxis;
    TChartAxis YAxis;
    TChartSeriesList SeriesList;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void CalcPlotRect();
    void DrawAxes(QPainter& p);
    void DrawXAxis(QPainter& p);
    void DrawYAxis(QPainter& p);
    void DrawSeries(QPainter& p);
    void ShowLater(const QString& text);

    QImage picture_;
    int refSeries_ = -1;
    TPlotRect plot_;
    std::vector<TDrawnLabel> xLabels_;
    std::vector<TDrawnLabel> yLabels_;
    // A paint with bad log x data asks once, not on every repaint.
    bool xLogWarningShown_ = false;
};

} // namespace qvt
