#include "ui/key_manager_dialog.h"

#include <QComboBox>
#include <QDialog>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <vector>

#include "frontend/key_manager_model.h"
#include "ui/dialog_kit.h"

namespace tarnwick {

namespace {

// A fingerprint is 16 two-digit hexadecimal numbers with colons between them.
constexpr int kFingerprintCharacters = 47;
constexpr int kHostNameCharacters = 24;

// The user's own keys, for logging in and for the agent: type, size, fingerprints and file, with
// adding a key file and taking a key off the list.
void AddOwnKeys(QDialog* dialog, QVBoxLayout* layout, const QFont& fixed) {
    auto* group = new QGroupBox(QStringLiteral("Your keys (for logging in)"), dialog);
    auto* inner = new QVBoxLayout(group);
    auto* keys = new QTreeWidget(group);
    keys->setObjectName(QStringLiteral("own_keys"));
    keys->setRootIsDecorated(false);
    keys->setAllColumnsShowFocus(true);
    keys->setUniformRowHeights(true);
    keys->setHeaderLabels({QStringLiteral("Type"), QStringLiteral("Bits"),
                           QStringLiteral("Fingerprint"), QStringLiteral("File")});
    inner->addWidget(keys);
    auto* row = new QHBoxLayout();
    auto* add = new QPushButton(QStringLiteral("Add Key &File..."), group);
    auto* remove = new QPushButton(QStringLiteral("Re&move Key"), group);
    for (QPushButton* button : {add, remove}) {
        button->setAutoDefault(false);
        row->addWidget(button);
    }
    row->addStretch();
    inner->addLayout(row);
    layout->insertWidget(layout->count() - 1, group);

    // The rows are read again after each change, so they always show the process-wide list.
    auto shown = std::make_shared<std::vector<OwnKeyRow>>();
    auto fill = [keys, remove, shown, fixed] {
        keys->clear();
        *shown = KeyManagerModel::OwnKeys();
        for (const OwnKeyRow& key : *shown) {
            auto* item = new QTreeWidgetItem(
                keys, {Q(key.type), QString::number(key.bits), Q(key.sha256), Q(key.file)});
            item->setFont(2, fixed);
            item->setToolTip(2, Q(key.md5));
            item->setToolTip(3, Q(key.comment));
        }
        if (keys->topLevelItemCount() > 0) keys->setCurrentItem(keys->topLevelItem(0));
        remove->setEnabled(keys->currentItem() != nullptr);
        for (int column = 0; column < keys->columnCount(); ++column)
            keys->resizeColumnToContents(column);
    };
    QObject::connect(add, &QPushButton::clicked, dialog, [fill] {
        (void)KeyManagerModel::AddKeyFile();
        fill();
    });
    QObject::connect(remove, &QPushButton::clicked, dialog, [keys, shown, fill] {
        const int index = keys->indexOfTopLevelItem(keys->currentItem());
        if (index < 0 || static_cast<std::size_t>(index) >= shown->size()) return;
        if (KeyManagerModel::RemoveOwnKey((*shown)[static_cast<std::size_t>(index)])) fill();
    });
    QObject::connect(keys, &QTreeWidget::currentItemChanged, dialog,
                     [keys, remove] { remove->setEnabled(keys->currentItem() != nullptr); });
    fill();
}

}  // namespace

void RunHostKeyManager(QWidget* parent) {
    KeyManagerModel model;
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Key Manager"));
    auto* layout = new QVBoxLayout(&dialog);

    auto* types = new QComboBox(&dialog);
    for (const KeyType& type : KeyManagerModel::KeyTypes())
        types->addItem(QString::fromUtf8(type.caption));
    types->setCurrentIndex(model.key_type());
    auto* type_label = new QLabel(QStringLiteral("&Key type:"), &dialog);
    type_label->setBuddy(types);
    auto* top = new QHBoxLayout();
    top->addWidget(type_label);
    top->addWidget(types);
    top->addStretch();
    layout->addLayout(top);

    auto* rows = new QTreeWidget(&dialog);
    rows->setRootIsDecorated(false);
    rows->setAllColumnsShowFocus(true);
    rows->setUniformRowHeights(true);
    rows->setContextMenuPolicy(Qt::CustomContextMenu);
    rows->setHeaderLabels({QStringLiteral("Host Name"), QStringLiteral("Fingerprint")});
    rows->header()->setSectionsClickable(true);
    rows->header()->setSortIndicatorShown(false);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const int fingerprint_width =
        QFontMetrics(fixed).horizontalAdvance(QString(kFingerprintCharacters, QLatin1Char('0')));
    rows->setColumnWidth(0, TextWidth(rows, kHostNameCharacters));
    rows->setMinimumWidth(TextWidth(rows, kHostNameCharacters + 4) + fingerprint_width);
    layout->addWidget(rows);

    auto* buttons = new QHBoxLayout();
    auto* remove = new QPushButton(QStringLiteral("Delete"), &dialog);
    auto* importer = new QPushButton(QStringLiteral("&Import"), &dialog);
    auto* exporter = new QPushButton(QStringLiteral("&Export"), &dialog);
    auto* done = new QPushButton(QStringLiteral("&Done"), &dialog);
    for (QPushButton* button : {remove, importer, exporter})
        button->setAutoDefault(false);
    done->setDefault(true);
    buttons->addWidget(remove);
    buttons->addWidget(importer);
    buttons->addWidget(exporter);
    buttons->addStretch();
    buttons->addWidget(done);
    layout->addLayout(buttons);

    auto selected = [&] { return rows->indexOfTopLevelItem(rows->currentItem()); };
    auto enable = [&] {
        const bool any = rows->currentItem() != nullptr;
        remove->setEnabled(any);
        exporter->setEnabled(any);
    };
    // Shows the model's rows with row `current` (clamped) selected.
    auto fill = [&](int current) {
        rows->clear();
        for (const KnownHostEntry& entry : model.Rows()) {
            auto* item = new QTreeWidgetItem(rows, {Q(entry.name), Q(entry.fingerprint)});
            item->setFont(1, fixed);
        }
        const int count = rows->topLevelItemCount();
        if (count > 0 && current >= 0) {
            rows->setCurrentItem(rows->topLevelItem(std::min(current, count - 1)));
        }
        rows->header()->setSortIndicatorShown(model.sort_column() >= 0);
        if (model.sort_column() >= 0) {
            rows->header()->setSortIndicator(model.sort_column(), model.sort_reversed()
                                                                      ? Qt::DescendingOrder
                                                                      : Qt::AscendingOrder);
        }
        enable();
    };
    auto take_delete = [&] {
        const int row = selected();
        if (model.Delete(row)) fill(row);
    };
    auto take_export = [&] { (void)model.Export(selected()); };
    auto take_import = [&] {
        if (model.Import()) fill(-1);
    };

    QObject::connect(types, &QComboBox::currentIndexChanged, &dialog, [&](int index) {
        model.SelectKeyType(index);
        fill(0);
    });
    QObject::connect(rows, &QTreeWidget::currentItemChanged, &dialog, enable);
    QObject::connect(rows->header(), &QHeaderView::sectionClicked, &dialog, [&](int column) {
        // The selected key stays selected wherever the sort puts it.
        const int row = selected();
        const std::string name = row >= 0 ? model.Rows()[static_cast<std::size_t>(row)].name : "";
        model.SortByColumn(column);
        const auto& sorted = model.Rows();
        const auto found = std::find_if(sorted.begin(), sorted.end(),
                                        [&](const KnownHostEntry& e) { return e.name == name; });
        fill(row >= 0 && found != sorted.end() ? static_cast<int>(found - sorted.begin()) : -1);
    });
    QObject::connect(
        rows, &QTreeWidget::customContextMenuRequested, &dialog, [&](const QPoint& where) {
            QMenu menu(&dialog);
            const bool any = rows->currentItem() != nullptr;
            menu.addAction(QStringLiteral("&Delete"), take_delete)->setEnabled(any);
            menu.addAction(QStringLiteral("&Export..."), take_export)->setEnabled(any);
            menu.addAction(QStringLiteral("&Import..."), take_import)->setEnabled(!any);
            menu.exec(rows->viewport()->mapToGlobal(where));
        });
    auto* delete_key =
        new QShortcut(QKeySequence::Delete, rows, nullptr, nullptr, Qt::WidgetShortcut);
    QObject::connect(delete_key, &QShortcut::activated, &dialog, take_delete);
    QObject::connect(remove, &QPushButton::clicked, &dialog, take_delete);
    QObject::connect(exporter, &QPushButton::clicked, &dialog, take_export);
    QObject::connect(importer, &QPushButton::clicked, &dialog, take_import);
    QObject::connect(done, &QPushButton::clicked, &dialog, &QDialog::accept);

    AddOwnKeys(&dialog, layout, fixed);
    fill(0);
    AssignMnemonics(&dialog);
    rows->setFocus();
    dialog.exec();
}

}  // namespace tarnwick
