#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Velmo");
    QLabel window("Velmo");
    window.show();
    return app.exec();
}
