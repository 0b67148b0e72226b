#include "ui/preference_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QStyleOptionFocusRect>
#include <QTabWidget>
#include <QVBoxLayout>
#include <array>

#include "frontend/preference_sheet.h"
#include "ui/dialog_kit.h"
#include "ui/system_font.h"

namespace tarnwick {

namespace {

constexpr int kMaxText = 1023;

// The colours of the swatches in palette order, for their tool tips and for screen readers.
constexpr std::array<const char*, 8> kColourNames = {"Black", "Red",     "Green", "Yellow",
                                                     "Blue",  "Magenta", "Cyan",  "White"};

QColor ToQColor(std::uint32_t colour) {
    const ColourComponents c = ColourComponents::Of(colour);
    return QColor(c.red, c.green, c.blue);
}

QLineEdit* BoundLine(QWidget* parent, std::string* value) {
    auto* line = new QLineEdit(Q(*value), parent);
    line->setMaxLength(kMaxText);
    QObject::connect(line, &QLineEdit::textChanged, parent,
                     [value](const QString& text) { *value = text.toStdString(); });
    return line;
}

QCheckBox* BoundCheck(QWidget* parent, const char* text, bool* value) {
    auto* box = new QCheckBox(QString::fromUtf8(text), parent);
    box->setChecked(*value);
    QObject::connect(box, &QCheckBox::toggled, parent, [value](bool on) { *value = on; });
    return box;
}

QWidget* TerminalPage(PreferenceSheet& sheet) {
    auto* page = new QWidget();
    auto* form = new QFormLayout(page);
    form->addRow(QStringLiteral("Rows"), BoundLine(page, &sheet.rows));
    form->addRow(QStringLiteral("Cols"), BoundLine(page, &sheet.columns));
    form->addRow(QStringLiteral("Scrollback"), BoundLine(page, &sheet.scrollback));
    auto* pacing_row = new QHBoxLayout();
    QLineEdit* pacing = BoundLine(page, &sheet.text_pacing);
    pacing_row->addWidget(pacing);
    pacing_row->addWidget(new QLabel(QStringLiteral("mS"), page));
    auto* pacing_label = new QLabel(QStringLiteral("Text pacing:"), page);
    pacing_label->setBuddy(pacing);
    form->addRow(pacing_label, pacing_row);

    auto* cursor = new QComboBox(page);
    for (const std::string& name : PreferenceSheet::CursorNames())
        cursor->addItem(Q(name));
    cursor->setCurrentIndex(sheet.cursor_index);
    QObject::connect(cursor, &QComboBox::currentIndexChanged, page,
                     [&sheet](int index) { sheet.cursor_index = index; });
    form->addRow(QStringLiteral("Default cursor:"), cursor);

    QCheckBox* manual = BoundCheck(page, "Special Control Key Handling", &sheet.manual_control);
    QCheckBox* soft = BoundCheck(page, "Soft Control Key", &sheet.soft_control);
    soft->setVisible(sheet.SoftControlShown());
    QObject::connect(manual, &QCheckBox::toggled, page,
                     [&sheet, soft] { soft->setVisible(sheet.SoftControlShown()); });
    form->addRow(manual);
    form->addRow(soft);
    return page;
}

QWidget* FontsPage(PreferenceSheet& sheet) {
    auto* page = new QWidget();
    auto* form = new QFormLayout(page);
    auto* font = new QComboBox(page);
    for (const std::string& name : sheet.FontNames())
        font->addItem(Q(name));
    font->setCurrentIndex(sheet.font_index());
    auto* size = new QComboBox(page);
    auto fill_sizes = [&sheet, size] {
        const QSignalBlocker quiet(size);
        size->clear();
        for (const std::string& name : sheet.SizeNames())
            size->addItem(Q(name));
        size->setCurrentIndex(sheet.size_index);
    };
    fill_sizes();
    QObject::connect(font, &QComboBox::currentIndexChanged, page, [&sheet, fill_sizes](int index) {
        // Each kind of font offers its own sizes; the size stays when it is offered.
        sheet.SelectFont(index);
        fill_sizes();
    });
    QObject::connect(size, &QComboBox::currentIndexChanged, page,
                     [&sheet](int index) { sheet.size_index = index; });
    form->addRow(QStringLiteral("Terminal font:"), font);
    form->addRow(QStringLiteral("Font size:"), size);
    return page;
}

QWidget* ColoursPage(PreferenceSheet& sheet) {
    auto* page = new QWidget();
    auto* layout = new QVBoxLayout(page);
    auto* grid = new QGridLayout();
    std::array<HalvekColorBlob*, 8> swatches{};
    for (int i = 0; i < 8; ++i) {
        auto* swatch = new HalvekColorBlob(i, page);
        swatch->SetColour(sheet.Colour(i));
        swatch->setToolTip(QString::fromUtf8(kColourNames[static_cast<std::size_t>(i)]));
        swatch->setAccessibleName(swatch->toolTip());
        QObject::connect(swatch, &HalvekColorBlob::Tapped, page, [&sheet, swatch, page](int id) {
            sheet.SetColour(id, PickColour(page, sheet.Colour(id)));
            swatch->SetColour(sheet.Colour(id));
        });
        grid->addWidget(swatch, i / 4, i % 4);
        swatches[static_cast<std::size_t>(i)] = swatch;
    }
    layout->addLayout(grid);
    layout->addWidget(new QLabel(QStringLiteral("Tap on a color to change it."), page));
    auto* reset = new QPushButton(QStringLiteral("&Reset colors to defaults"), page);
    reset->setAutoDefault(false);
    QObject::connect(reset, &QPushButton::clicked, page, [&sheet, swatches] {
        sheet.ResetColours();
        for (int i = 0; i < 8; ++i)
            swatches[static_cast<std::size_t>(i)]->SetColour(sheet.Colour(i));
    });
    layout->addWidget(reset, 0, Qt::AlignLeft);
    layout->addStretch();
    return page;
}

QWidget* OtherPage(PreferenceSheet& sheet) {
    auto* page = new QWidget();
    auto* form = new QFormLayout(page);
    QLineEdit* ca = BoundLine(page, &sheet.ca_path);
    ca->setMinimumWidth(TextWidth(ca, 30));
    form->addRow(QStringLiteral("Root CA Path:"), ca);
    // The connection-manager settings mean nothing here (the network is always there): they
    // keep their stored values and are not shown.
    form->addRow(BoundCheck(page, "Keep device awake if connected", &sheet.keep_awake));
    return page;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The swatch

HalvekColorBlob::HalvekColorBlob(int id, QWidget* parent) : QWidget(parent), id_(id) {
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void HalvekColorBlob::SetColour(std::uint32_t colour) {
    colour_ = colour & 0xFFFFFF;
    update();
}

QSize HalvekColorBlob::sizeHint() const {
    const int side = fontMetrics().height() * 2;
    return {side * 2, side};
}

void HalvekColorBlob::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), ToQColor(colour_));
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect().adjusted(2, 2, -2, -2);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

void HalvekColorBlob::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    emit Tapped(id_);
}

void HalvekColorBlob::keyPressEvent(QKeyEvent* event) {
    // Space opens the picker, as it presses a button; Enter stays the dialog's OK.
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        emit Tapped(id_);
        return;
    }
    QWidget::keyPressEvent(event);
}

// ---------------------------------------------------------------------------------------------
// The colour picker

std::uint32_t PickColour(QWidget* owner, std::uint32_t colour) {
    QDialog dialog(owner);
    dialog.setWindowTitle(QStringLiteral("Color Picker..."));
    auto* layout = new QVBoxLayout(&dialog);
    auto* form = new QFormLayout();
    ColourComponents picked = ColourComponents::Of(colour);
    auto* swatch = new HalvekColorBlob(0, &dialog);
    swatch->setFocusPolicy(Qt::NoFocus);
    swatch->SetColour(colour);
    struct Channel {
        const char* name;
        int* value;
    };
    for (const Channel& channel : {Channel{"&Red", &picked.red}, Channel{"&Green", &picked.green},
                                   Channel{"&Blue", &picked.blue}}) {
        auto* slider = new QSlider(Qt::Horizontal, &dialog);
        slider->setRange(0, 255);
        slider->setPageStep(16);
        slider->setValue(*channel.value);
        slider->setMinimumWidth(TextWidth(slider, 24));
        auto* shown = new QLabel(QString::number(*channel.value), &dialog);
        shown->setMinimumWidth(TextWidth(shown, 4));
        int* value = channel.value;
        // The swatch follows each move at once.
        QObject::connect(slider, &QSlider::valueChanged, &dialog,
                         [value, shown, swatch, &picked](int now) {
                             *value = now;
                             shown->setNum(now);
                             swatch->SetColour(picked.Colour());
                         });
        auto* row = new QHBoxLayout();
        row->addWidget(slider, 1);
        row->addWidget(shown);
        auto* label = new QLabel(QString::fromUtf8(channel.name), &dialog);
        label->setBuddy(slider);
        form->addRow(label, row);
    }
    layout->addLayout(form);
    layout->addWidget(swatch);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    return dialog.exec() == QDialog::Accepted ? picked.Colour() : colour;
}

// ---------------------------------------------------------------------------------------------
// The sheet

bool RunGlobalPreferences(QWidget* parent) {
    PreferenceSheet sheet(MonospacedFamilies());
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Global Preferences"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* pages = new QTabWidget(&dialog);
    pages->addTab(TerminalPage(sheet), QStringLiteral("Terminal"));
    pages->addTab(FontsPage(sheet), QStringLiteral("Fonts"));
    pages->addTab(ColoursPage(sheet), QStringLiteral("Colors"));
    pages->addTab(OtherPage(sheet), QStringLiteral("Other"));
    layout->addWidget(pages);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    AssignMnemonics(&dialog);
    if (dialog.exec() != QDialog::Accepted) return false;
    sheet.Accept();
    return true;
}

}  // namespace tarnwick
