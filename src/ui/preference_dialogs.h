// "Global Preferences" of the Qt front end: the Terminal, Fonts, Colors and Other pages over the
// toolkit-free PreferenceSheet, the colour swatch they show and the colour picker.
#pragma once

#include <QWidget>
#include <cstdint>

namespace tarnwick {

// A swatch that paints its whole area in one colour (0x00BBGGRR). A click, or Space or Enter
// while it has the focus, reports its identifier.
class HalvekColorBlob final : public QWidget {
    Q_OBJECT

  public:
    HalvekColorBlob(int id, QWidget* parent);
    void SetColour(std::uint32_t colour);
    std::uint32_t colour() const { return colour_; }
    QSize sizeHint() const override;

  signals:
    void Tapped(int id);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    int id_;
    std::uint32_t colour_ = 0;
};

// "Color Picker...": red, green and blue sliders with a swatch of the result. The chosen colour,
// or `colour` itself when the picker is cancelled.
std::uint32_t PickColour(QWidget* owner, std::uint32_t colour);

// The sheet. Accepting it stores the preferences in the registry store and applies them to the
// running program (fonts and colours of every session); true when it was accepted.
bool RunGlobalPreferences(QWidget* parent);

}  // namespace tarnwick
