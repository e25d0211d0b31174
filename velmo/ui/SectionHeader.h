#pragma once

#include <QString>
#include <QWidget>
#include <optional>


namespace velmo {

class SectionHeader : public QWidget {
    Q_OBJECT
public:
    SectionHeader(const QString& title, std::optional<long long> count, QWidget* trailing = nullptr,
                  QWidget* parent = nullptr);
};

}  // namespace velmo
