#include "ui/connection_dialogs.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSlider>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <functional>

#include "core/session_config.h"
#include "frontend/connection_form.h"
#include "frontend/port_forward_model.h"
#include "frontend/session_dialogs.h"
#include "platform/user_interface.h"
#include "ui/dialog_kit.h"

namespace tarnwick {

namespace {

// OK and Cancel at the foot of a dialog; OK is the default button, Cancel (and Escape) rejects.
QDialogButtonBox* OkCancel(QDialog& dialog) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    return buttons;
}

QPushButton* OkOf(QDialogButtonBox* buttons) {
    return buttons->button(QDialogButtonBox::Ok);
}

// A button that opens another dialog: Enter in a field still presses the dialog's OK.
QPushButton* SideButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(false);
    return button;
}

// A line of text whose every change goes to store.
QLineEdit* Line(QWidget* parent, const std::string& text,
                const std::function<void(const std::string&)>& store, int max_length) {
    auto* line = new QLineEdit(Q(text), parent);
    line->setMaxLength(max_length);
    QObject::connect(line, &QLineEdit::textChanged, parent,
                     [store](const QString& now) { store(now.toStdString()); });
    return line;
}

QCheckBox* Check(QWidget* parent, const char* text, bool* value) {
    auto* box = new QCheckBox(QString::fromUtf8(text), parent);
    box->setChecked(*value);
    QObject::connect(box, &QCheckBox::toggled, parent, [value](bool on) { *value = on; });
    return box;
}

// A key that runs a command while widget has the focus (Delete in a list removes the row).
void OnKey(QWidget* widget, const QKeySequence& keys, const std::function<void()>& action) {
    auto* shortcut = new QShortcut(keys, widget, nullptr, nullptr, Qt::WidgetShortcut);
    QObject::connect(shortcut, &QShortcut::activated, widget, action);
}

// The row of a list that is current and selectable, or -1.
int CurrentRow(const QListWidget* list) {
    const QListWidgetItem* item = list->currentItem();
    return item != nullptr && (item->flags() & Qt::ItemIsSelectable) ? list->row(item) : -1;
}

// Makes row (or the nearest selectable row after it, else before it) current.
void SelectNear(QListWidget* list, int row) {
    for (int step : {1, -1}) {
        for (int i = row; i >= 0 && i < list->count(); i += step) {
            if (list->item(i)->flags() & Qt::ItemIsSelectable) {
                list->setCurrentRow(i);
                return;
            }
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// New Connection

ConnectionChoice RunConnectionDialogs(QWidget* parent, SessionConfig& config) {
    config.SetInt(setting::session_kind, kKindNone);
    config.SetInt(setting::setup_accepted, 0);
    ConnectionChooser chooser;
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("New Connection"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* list = new QListWidget(&dialog);
    // Wide enough for the separator line of 42 dashes.
    list->setMinimumWidth(TextWidth(list, 48));
    layout->addWidget(list);
    auto* row = new QHBoxLayout();
    auto* first = new QPushButton(QStringLiteral("&Configure"), &dialog);
    auto* edit = new QPushButton(QStringLiteral("&Edit..."), &dialog);
    auto* remove = new QPushButton(QStringLiteral("&Delete..."), &dialog);
    auto* cancel = new QPushButton(QStringLiteral("Ca&ncel"), &dialog);
    first->setDefault(true);
    for (QPushButton* button : {edit, remove, cancel})
        button->setAutoDefault(false);
    for (QPushButton* button : {first, edit, remove, cancel})
        row->addWidget(button);
    layout->addLayout(row);

    auto fill = [&] {
        list->clear();
        for (const ConnectionChooser::Entry& entry : chooser.Entries()) {
            auto* item = new QListWidgetItem(Q(entry.text), list);
            if (entry.type == ConnectionChooser::Entry::kSeparator || !entry.available) {
                // Listed but not offered: the arrows skip it.
                item->setFlags(item->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
            }
            if (!entry.available) {
                item->setToolTip(QStringLiteral("Not available in this version"));
            }
        }
    };
    auto refresh = [&] {
        const ConnectionChooser::Buttons state = chooser.ButtonsFor(CurrentRow(list));
        first->setText(QString::fromUtf8(state.first_text));
        first->setEnabled(state.first);
        edit->setEnabled(state.edit);
        remove->setEnabled(state.remove);
    };
    QObject::connect(list, &QListWidget::currentRowChanged, &dialog, refresh);

    std::optional<int> kind;
    ConnectionChoice choice;
    auto take_first = [&] {
        const int index = CurrentRow(list);
        if (auto k = chooser.Configure(index)) {
            kind = k;
            dialog.accept();
        } else if (auto path = chooser.Connect(index)) {
            choice.saved = path;
            dialog.accept();
        }
    };
    auto take_delete = [&] {
        const int index = CurrentRow(list);
        if (!chooser.ButtonsFor(index).remove || !chooser.Delete(index)) return;
        fill();
        SelectNear(list, index);
        refresh();
    };
    QObject::connect(first, &QPushButton::clicked, &dialog, take_first);
    QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, take_first);
    QObject::connect(edit, &QPushButton::clicked, &dialog, [&] {
        if (auto k = chooser.Edit(CurrentRow(list), config)) {
            kind = k;
            dialog.accept();
        }
    });
    QObject::connect(remove, &QPushButton::clicked, &dialog, take_delete);
    OnKey(list, QKeySequence::Delete, take_delete);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);

    fill();
    SelectNear(list, 0);
    refresh();
    list->setFocus();
    if (dialog.exec() != QDialog::Accepted) return choice;
    if (kind) choice.accepted = RunParameterDialog(parent, config, *kind);
    return choice;
}

// ---------------------------------------------------------------------------------------------
// The parameter dialog of a kind

bool RunParameterDialog(QWidget* parent, SessionConfig& config, int kind) {
    ConnectionForm form(config, kind);
    QDialog dialog(parent);
    dialog.setWindowTitle(QString::fromUtf8(form.definition().title));
    auto* layout = new QVBoxLayout(&dialog);
    auto* fields = new QFormLayout();
    layout->addLayout(fields);
    // OK does nothing while a required field is empty: it is not offered until they are filled.
    // (The buttons come after the fields, so that the tab order follows the fields.)
    QPushButton* ok = nullptr;
    auto update = [&form, &ok] {
        if (ok != nullptr) ok->setEnabled(form.CanAccept());
    };
    const int max_text = static_cast<int>(ConnectionForm::kMaxText);

    for (std::size_t i = 0; i < form.FieldCount(); ++i) {
        const FormField& field = form.Field(i);
        const QString label = QString::fromUtf8(field.label);
        auto store_text = [&form, i, update](const std::string& text) {
            form.SetText(i, text);
            update();
        };
        switch (field.type) {
            case FieldType::kCheck: {
                auto* box = new QCheckBox(label, &dialog);
                box->setChecked(form.Checked(i));
                const char* warning = field.warning;
                QObject::connect(box, &QCheckBox::toggled, &dialog, [&form, i, warning](bool on) {
                    form.SetChecked(i, on);
                    if (on && warning != nullptr) Ui().ShowMessage("Warning", warning);
                });
                fields->addRow(box);
                break;
            }
            case FieldType::kChoice: {
                auto* combo = new QComboBox(&dialog);
                for (const std::string& name : form.ChoiceNames(i))
                    combo->addItem(Q(name));
                combo->setCurrentIndex(form.ChoiceIndex(i));
                QObject::connect(combo, &QComboBox::currentIndexChanged, &dialog,
                                 [&form, i, update](int index) {
                                     form.SetChoiceIndex(i, index);
                                     update();
                                 });
                fields->addRow(label, combo);
                break;
            }
            case FieldType::kKeyFile: {
                QLineEdit* line = Line(&dialog, form.Text(i), store_text, max_text);
                auto* browse = new QPushButton(QStringLiteral("..."), &dialog);
                browse->setAutoDefault(false);
                browse->setToolTip(QStringLiteral("Choose a key file"));
                QObject::connect(browse, &QPushButton::clicked, &dialog, [&form, i, line] {
                    form.ChooseKeyFile(i);
                    line->setText(Q(form.Text(i)));
                });
                auto* row = new QHBoxLayout();
                row->addWidget(line);
                row->addWidget(browse);
                auto* caption = new QLabel(label, &dialog);
                caption->setBuddy(line);
                fields->addRow(caption, row);
                break;
            }
            default:
                fields->addRow(label, Line(&dialog, form.Text(i), store_text, max_text));
                break;
        }
    }

    // The buttons that open further dialogs.
    const unsigned more = form.definition().buttons;
    auto* side = new QHBoxLayout();
    if ((more & kButtonAdvanced) != 0) {
        QPushButton* advanced = SideButton(QStringLiteral("&Advanced..."), &dialog);
        QObject::connect(advanced, &QPushButton::clicked, &dialog,
                         [&dialog, &config] { RunSsh2Advanced(&dialog, config); });
        side->addWidget(advanced);
    }
    if ((more & kButtonForwards) != 0) {
        QPushButton* forwards = SideButton(
            kind == kKindSSH2 ? QStringLiteral("Forwar&d...") : QStringLiteral("Port Forwar&d..."),
            &dialog);
        QObject::connect(forwards, &QPushButton::clicked, &dialog,
                         [&dialog, &config] { RunPortForwards(&dialog, config); });
        side->addWidget(forwards);
    }
    if ((more & kButtonTerminal) != 0) {
        QPushButton* terminal = SideButton(QStringLiteral("&Terminal..."), &dialog);
        QObject::connect(terminal, &QPushButton::clicked, &dialog,
                         [&dialog, &config] { RunTerminalParameters(&dialog, config); });
        side->addWidget(terminal);
    }
    side->addStretch();
    layout->addLayout(side);
    QDialogButtonBox* buttons = OkCancel(dialog);
    ok = OkOf(buttons);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&form, &dialog] {
        if (form.Accept()) dialog.accept();
    });
    update();
    AssignMnemonics(&dialog);
    if (dialog.exec() == QDialog::Accepted) return true;
    form.Cancel();
    return false;
}

// ---------------------------------------------------------------------------------------------
// Terminal Parameters

void RunTerminalParameters(QWidget* parent, SessionConfig& config) {
    TerminalParametersModel model(config);
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Terminal Parameters"));
    auto* layout = new QVBoxLayout(&dialog);
    QPushButton* ok = nullptr;
    auto update = [&model, &ok] {
        if (ok != nullptr) ok->setEnabled(model.CanAccept());
    };

    auto* numbers = new QFormLayout();
    struct Text {
        const char* label;
        std::string* value;
    };
    for (const Text& text : {Text{"Rows", &model.rows}, Text{"Columns", &model.columns},
                             Text{"TERM", &model.term}, Text{"Scrollback", &model.scrollback}}) {
        std::string* value = text.value;
        QLineEdit* line = Line(
            &dialog, *value,
            [value, update](const std::string& now) {
                *value = now;
                update();
            },
            static_cast<int>(ConnectionForm::kMaxText));
        numbers->addRow(QString::fromUtf8(text.label), line);
    }
    layout->addLayout(numbers);

    auto* boxes = new QGridLayout();
    boxes->addWidget(Check(&dialog, "Linefeed &mode", &model.linefeed_mode), 0, 0);
    boxes->addWidget(Check(&dialog, "Line &wrap", &model.line_wrap), 0, 1);
    boxes->addWidget(Check(&dialog, "Local ec&ho", &model.local_echo), 1, 0);
    boxes->addWidget(Check(&dialog, "&Visual bell", &model.visual_bell), 1, 1);
    boxes->addWidget(Check(&dialog, "Swap BS && &Del", &model.swap_bs_del), 2, 0);
    layout->addLayout(boxes);

    auto* keypad = new QGroupBox(QStringLiteral("Keypad"), &dialog);
    auto* keypad_row = new QHBoxLayout(keypad);
    auto* numeric = new QRadioButton(QStringLiteral("Numeric"), keypad);
    auto* application = new QRadioButton(QStringLiteral("Application"), keypad);
    (model.keypad_application ? application : numeric)->setChecked(true);
    QObject::connect(application, &QRadioButton::toggled, &dialog,
                     [&model](bool on) { model.keypad_application = on; });
    keypad_row->addWidget(numeric);
    keypad_row->addWidget(application);
    layout->addWidget(keypad);

    auto* cursor = new QComboBox(&dialog);
    for (const Choice& type : TerminalParametersModel::CursorTypes())
        cursor->addItem(QString::fromUtf8(type.name));
    cursor->setCurrentIndex(model.cursor_index);
    QObject::connect(cursor, &QComboBox::currentIndexChanged, &dialog,
                     [&model](int index) { model.cursor_index = index; });
    auto* cursor_row = new QFormLayout();
    cursor_row->addRow(QStringLiteral("Cursor type:"), cursor);
    layout->addLayout(cursor_row);

    QDialogButtonBox* buttons = OkCancel(dialog);
    ok = OkOf(buttons);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&model, &dialog] {
        if (model.Accept()) dialog.accept();
    });
    update();
    AssignMnemonics(&dialog);
    dialog.exec();
}

// ---------------------------------------------------------------------------------------------
// SSH2 Advanced

void RunSsh2Advanced(QWidget* parent, SessionConfig& config) {
    Ssh2AdvancedModel model(config);
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("SSH2 Advanced"));
    auto* layout = new QVBoxLayout(&dialog);

    auto* slider = new QSlider(Qt::Horizontal, &dialog);
    slider->setRange(Ssh2AdvancedModel::kMinPercentage, Ssh2AdvancedModel::kMaxPercentage);
    slider->setPageStep(5);
    slider->setValue(model.percentage);
    slider->setMinimumWidth(TextWidth(slider, 20));
    QObject::connect(slider, &QSlider::valueChanged, &dialog,
                     [&model](int value) { model.percentage = value; });
    auto* faster = new QLabel(QStringLiteral("Faster connection"), &dialog);
    faster->setBuddy(slider);
    auto* slider_row = new QHBoxLayout();
    slider_row->addWidget(faster);
    slider_row->addWidget(slider, 1);
    slider_row->addWidget(new QLabel(QStringLiteral("Better security"), &dialog));
    layout->addLayout(slider_row);

    layout->addWidget(Check(&dialog, "&Add random fill", &model.random_fill));
    layout->addWidget(Check(&dialog, "&Compress", &model.compress));
    layout->addWidget(Check(&dialog, "&Interactive", &model.interactive));

    // One button per preference list the SSH2 layer has; choices made there are kept even when
    // this dialog is cancelled.
    auto* lists = new QHBoxLayout();
    for (const AlgorithmLists& pair : SessionConfig::Ssh2AlgorithmLists()) {
        QPushButton* select = SideButton(Q(SelectAlgorithmText(pair)), &dialog);
        const AlgorithmLists* which = &pair;
        QObject::connect(select, &QPushButton::clicked, &dialog, [&dialog, &config, which] {
            RunSelectAlgorithm(&dialog, config, *which);
        });
        lists->addWidget(select);
    }
    layout->addLayout(lists);

    QDialogButtonBox* buttons = OkCancel(dialog);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&model, &dialog] {
        model.Accept();
        dialog.accept();
    });
    AssignMnemonics(&dialog);
    dialog.exec();
}

// ---------------------------------------------------------------------------------------------
// Select Algorithm

namespace {

QToolButton* ArrowButton(QWidget* parent, Qt::ArrowType arrow, const QString& tip,
                         QKeyCombination keys) {
    auto* button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setShortcut(QKeySequence(keys));
    button->setToolTip(tip + QStringLiteral(" (") +
                       QKeySequence(keys).toString(QKeySequence::NativeText) + ")");
    button->setAccessibleName(tip);
    button->setFocusPolicy(Qt::StrongFocus);
    return button;
}

}  // namespace

void RunSelectAlgorithm(QWidget* parent, SessionConfig& config, const AlgorithmLists& lists) {
    AlgorithmSelectionModel model(config, lists);
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Select Algorithm"));
    auto* grid = new QGridLayout(&dialog);
    auto* enabled = new QListWidget(&dialog);
    auto* disabled = new QListWidget(&dialog);
    for (QListWidget* list : {enabled, disabled})
        list->setMinimumWidth(TextWidth(list, 18));
    auto* enabled_label = new QLabel(QStringLiteral("&Enabled"), &dialog);
    enabled_label->setBuddy(enabled);
    auto* disabled_label = new QLabel(QStringLiteral("&Disabled"), &dialog);
    disabled_label->setBuddy(disabled);

    QToolButton* to_disabled =
        ArrowButton(&dialog, Qt::RightArrow, QStringLiteral("Disable"), Qt::ALT | Qt::Key_Right);
    QToolButton* to_enabled =
        ArrowButton(&dialog, Qt::LeftArrow, QStringLiteral("Enable"), Qt::ALT | Qt::Key_Left);
    QToolButton* up =
        ArrowButton(&dialog, Qt::UpArrow, QStringLiteral("Prefer more"), Qt::ALT | Qt::Key_Up);
    QToolButton* down =
        ArrowButton(&dialog, Qt::DownArrow, QStringLiteral("Prefer less"), Qt::ALT | Qt::Key_Down);
    auto* across = new QVBoxLayout();
    across->addStretch();
    across->addWidget(to_disabled);
    across->addWidget(to_enabled);
    across->addStretch();
    auto* order = new QHBoxLayout();
    order->addWidget(up);
    order->addWidget(down);
    order->addStretch();

    grid->addWidget(enabled_label, 0, 0);
    grid->addWidget(disabled_label, 0, 2);
    grid->addWidget(enabled, 1, 0);
    grid->addLayout(across, 1, 1);
    grid->addWidget(disabled, 1, 2);
    grid->addLayout(order, 2, 0);
    QDialogButtonBox* buttons = OkCancel(dialog);
    grid->addWidget(buttons, 3, 0, 1, 3);

    // Shows the model's lists with the given rows current.
    auto fill = [&](int enabled_row, int disabled_row) {
        enabled->clear();
        for (const std::string& name : model.EnabledNames())
            enabled->addItem(Q(name));
        disabled->clear();
        for (const std::string& name : model.DisabledNames())
            disabled->addItem(Q(name));
        enabled->setCurrentRow(std::min(enabled_row, enabled->count() - 1));
        disabled->setCurrentRow(std::min(disabled_row, disabled->count() - 1));
    };
    auto disable = [&] {
        const int row = enabled->currentRow();
        if (model.Disable(row)) fill(row, disabled->count());
    };
    auto enable = [&] {
        const int row = disabled->currentRow();
        if (model.Enable(row)) fill(enabled->count(), row);
    };
    QObject::connect(to_disabled, &QToolButton::clicked, &dialog, disable);
    QObject::connect(to_enabled, &QToolButton::clicked, &dialog, enable);
    QObject::connect(enabled, &QListWidget::itemDoubleClicked, &dialog, disable);
    QObject::connect(disabled, &QListWidget::itemDoubleClicked, &dialog, enable);
    QObject::connect(up, &QToolButton::clicked, &dialog, [&] {
        const int row = enabled->currentRow();
        if (model.MoveUp(row)) fill(row - 1, disabled->currentRow());
    });
    QObject::connect(down, &QToolButton::clicked, &dialog, [&] {
        const int row = enabled->currentRow();
        if (model.MoveDown(row)) fill(row + 1, disabled->currentRow());
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        // An empty "Enabled" list is refused with a notice and the dialog stays.
        if (model.Accept()) dialog.accept();
    });
    // The tab order goes from the enabled list across to the disabled one, then to the order.
    QWidget* previous = enabled;
    for (QWidget* next : std::initializer_list<QWidget*>{to_disabled, to_enabled, disabled, up,
                                                         down, OkOf(buttons)}) {
        QWidget::setTabOrder(previous, next);
        previous = next;
    }
    fill(0, 0);
    enabled->setFocus();
    dialog.exec();
}

// ---------------------------------------------------------------------------------------------
// Local port forwarding

namespace {

// The add dialog; a valid forward goes into the list (unless its port is listed already).
void RunAddForward(QWidget* parent, PortForwardListModel& model) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Add Port Forward"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* fields = new QFormLayout();
    auto* local = new QLineEdit(&dialog);
    auto* host = new QLineEdit(QString::fromUtf8(kDefaultRemoteHost), &dialog);
    auto* remote = new QLineEdit(&dialog);
    for (QLineEdit* port : {local, remote})
        port->setMaxLength(kPortFieldLength);
    host->setMaxLength(static_cast<int>(ConnectionForm::kMaxText));
    auto* allow = new QCheckBox(QStringLiteral("&Allow connections from other hosts"), &dialog);
    fields->addRow(QStringLiteral("&Local port:"), local);
    fields->addRow(QStringLiteral("&Remote host:"), host);
    fields->addRow(QStringLiteral("Remote &port:"), remote);
    fields->addRow(allow);
    layout->addLayout(fields);
    QDialogButtonBox* buttons = OkCancel(dialog);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        // The checks show their own "Error" box; the focus goes back to the field at fault.
        const ForwardValidation result = ValidatePortForward(
            local->text().trimmed().toStdString(), host->text().trimmed().toStdString(),
            remote->text().trimmed().toStdString(), allow->isChecked());
        if (!result.ok) {
            QLineEdit* fault = result.field == ForwardField::kRemoteHost   ? host
                               : result.field == ForwardField::kRemotePort ? remote
                                                                           : local;
            fault->setFocus();
            fault->selectAll();
            return;
        }
        model.Add(result.forward);
        dialog.accept();
    });
    local->setFocus();
    dialog.exec();
}

}  // namespace

void RunPortForwards(QWidget* parent, SessionConfig& config) {
    PortForwardListModel model;
    model.Load(config);
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Local Port Forwarding"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* rows = new QTreeWidget(&dialog);
    rows->setRootIsDecorated(false);
    rows->setAllColumnsShowFocus(true);
    QStringList titles;
    for (const ForwardColumn& column : PortForwardColumns())
        titles << QString::fromUtf8(column.title);
    rows->setHeaderLabels(titles);
    rows->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    rows->setMinimumWidth(TextWidth(rows, 56));
    layout->addWidget(rows);
    auto* row = new QHBoxLayout();
    QPushButton* add = SideButton(QStringLiteral("&Add..."), &dialog);
    QPushButton* remove = SideButton(QStringLiteral("&Delete"), &dialog);
    auto* buttons = OkCancel(dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    row->addWidget(add);
    row->addWidget(remove);
    row->addStretch();
    row->addWidget(buttons);
    layout->addLayout(row);

    auto fill = [&](int current) {
        rows->clear();
        for (const PortForward& f : model.Rows()) {
            new QTreeWidgetItem(
                rows, {QString::number(f.local_port), Q(f.remote_host),
                       QString::number(f.remote_port), Q(PortForwardListModel::AllowText(f))});
        }
        if (rows->topLevelItemCount() > 0) {
            rows->setCurrentItem(
                rows->topLevelItem(std::clamp(current, 0, rows->topLevelItemCount() - 1)));
        }
        remove->setEnabled(rows->currentItem() != nullptr);
    };
    auto delete_row = [&] {
        const int current = rows->indexOfTopLevelItem(rows->currentItem());
        if (model.Delete(current)) fill(current);
    };
    QObject::connect(add, &QPushButton::clicked, &dialog, [&] {
        RunAddForward(&dialog, model);
        // A new forward is the top row.
        fill(0);
    });
    QObject::connect(remove, &QPushButton::clicked, &dialog, delete_row);
    OnKey(rows, QKeySequence::Delete, delete_row);
    fill(0);
    rows->setFocus();
    dialog.exec();
    // Leaving the list either way keeps what it shows.
    model.Store(config);
}

}  // namespace tarnwick
