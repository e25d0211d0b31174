#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>


namespace velmo {

class FileRow : public QWidget {
    Q_OBJECT
public:
    FileRow(const QString& name, std::optional<std::int64_t> size, std::function<void()> onRemove,
            QWidget* parent = nullptr);
};

}  // namespace velmo
