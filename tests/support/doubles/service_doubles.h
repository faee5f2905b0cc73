#pragma once
// Doubles of the window's platform services: they return what a test sets and
// record what the window asked for or would have shown.

#include "shell/loader_services.h"

#include <QList>
#include <QStringList>
#include <functional>

class FakePrinter final : public DefaultPrinter {
public:
    DefaultPrinterInfo info;
    int queries = 0;
    DefaultPrinterInfo query() override
    {
        ++queries;
        return info;
    }
    void setReady(const QString &name, const QString &port)
    {
        info.state = DefaultPrinterInfo::State::Ready;
        info.deviceName = name;
        info.portName = port;
    }
};

class RecordingMessages final : public MessageService {
public:
    QStringList warnings;
    QStringList errors;
    // Runs while a box would be open, as the platform goes on delivering events.
    std::function<void()> whileOpen;
    void warning(QWidget *, const QString &text) override
    {
        warnings << text;
        if (whileOpen)
            whileOpen();
    }
    void error(QWidget *, const QString &text) override
    {
        errors << text;
        if (whileOpen)
            whileOpen();
    }
};

class ScriptedFileDialog final : public FileDialogService {
public:
    QStringList answers;  // taken from the front; an empty answer is a cancel
    QList<QStringList> filtersShown;
    QString getOpenFileName(QWidget *, const QStringList &nameFilters) override
    {
        filtersShown << nameFilters;
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }

    QStringList saveAnswers;  // the same for the save dialog
    QStringList suggestedNames;
    QList<QStringList> saveFiltersShown;
    QString getSaveFileName(QWidget *, const QString &suggestedName, const QStringList &nameFilters) override
    {
        suggestedNames << suggestedName;
        saveFiltersShown << nameFilters;
        return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
    }
};

class FakeRawPrint final : public RawPrintLibrary {
public:
    QStringList calls;       // "name:<arg>" and "send:<arg>", in order
    int16_t sendResult = 0;
    QString missingError;    // when set, every call fails with this text
    RawPrintCall getDefPrinterName(const QByteArray &name) override { return record("name:", name, 0); }
    RawPrintCall sendPrnToDefPrinter(const QByteArray &path) override { return record("send:", path, sendResult); }

private:
    RawPrintCall record(const char *what, const QByteArray &arg, int32_t result)
    {
        RawPrintCall call;
        if (!missingError.isEmpty()) {
            call.error = missingError;
            return call;
        }
        calls << QString::fromLatin1(what) + QString::fromLocal8Bit(arg);
        call.called = true;
        call.result = result;
        return call;
    }
};

class RecordingProcessStarter final : public ProcessStarter {
public:
    QString program;
    QStringList arguments;
    int starts = 0;
    std::function<void(const ProcessOutcome &)> finish;  // plays the program's outcome
    void start(const QString &prog, const QStringList &args, QObject *,
               std::function<void(const ProcessOutcome &)> onOutcome) override
    {
        ++starts;
        program = prog;
        arguments = args;
        finish = std::move(onOutcome);
    }
};

// A full set of doubles; services() hands them to a window while the test
// keeps pointers to look at them.
struct ServiceDoubles {
    FakePrinter *printer = new FakePrinter;
    FakeRawPrint *rawPrint = new FakeRawPrint;
    ScriptedFileDialog *fileDialog = new ScriptedFileDialog;
    RecordingMessages *messages = new RecordingMessages;
    RecordingProcessStarter *processes = new RecordingProcessStarter;
    std::function<QString(int)> serialPortDevice = [](int) { return QStringLiteral("/nonexistent/serial"); };
    QString converterPath = QStringLiteral("/opt/loader/srec2bin");

    LoaderServices services()
    {
        LoaderServices s;
        s.printer.reset(printer);
        s.rawPrint.reset(rawPrint);
        s.fileDialog.reset(fileDialog);
        s.messages.reset(messages);
        s.processes.reset(processes);
        s.serialPortDevice = serialPortDevice;
        s.converterPath = converterPath;
        return s;
    }
};
