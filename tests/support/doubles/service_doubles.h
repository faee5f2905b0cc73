#pragma once
// Doubles of the window's platform services: they return what a test sets and
// record what the window asked for or would have shown.

#include "shell/loader_services.h"

#include <QList>
#include <QMap>
#include <QStringList>
#include <functional>

class FakePrinter final : public DefaultPrinter {
public:
    DefaultPrinterInfo info;
    int queries = 0;
    QList<int> budgets;  // the time each query was given, in ms
    DefaultPrinterInfo query(int budgetMs) override
    {
        ++queries;
        budgets << budgetMs;
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
    QStringList questions;
    bool answer = false;  // the answer to every question: Yes when true
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
    bool question(QWidget *, const QString &text) override
    {
        questions << text;
        if (whileOpen)
            whileOpen();
        return answer;
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
    QStringList saveFilterAnswers;  // the name filter chosen with each answer (the first filter when none)
    QString getSaveFileName(QWidget *, const QString &suggestedName, const QStringList &nameFilters,
                            QString *selectedFilter = nullptr) override
    {
        suggestedNames << suggestedName;
        saveFiltersShown << nameFilters;
        const QString filter = saveFilterAnswers.isEmpty() ? nameFilters.value(0) : saveFilterAnswers.takeFirst();
        if (selectedFilter)
            *selectedFilter = filter;
        return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
    }
};

class FakeRawPrint final : public RawPrintLibrary {
public:
    QStringList calls;  // "name:<arg>" and "send:<arg>", in order
    int16_t sendResult = 0;
    int32_t nextJobId = 0;               // when nonzero, each successful send creates this job, then the next number
    qint64 bytesSent = -1;               // what a successful send says it sent (-1: a library that does not tell)
    std::function<void()> whileSending;  // runs inside the send, as the window is blocked
    QString missingError;                // when set, every call fails with this text
    RawPrintCall getDefPrinterName(const QByteArray &name) override { return record("name:", name, 0); }
    RawPrintCall sendPrnToDefPrinter(const QByteArray &path) override
    {
        RawPrintCall call = record("send:", path, sendResult);
        if (call.called && whileSending)
            whileSending();
        if (call.called && call.result == 0 && nextJobId > 0)
            call.jobId = nextJobId++;
        if (call.called && call.result == 0)
            call.bytesSent = bytesSent;
        return call;
    }

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

// The print server's jobs as a test sets them: each look gives the job's entry
// (NotFound for a job without one), cancels are recorded.
class FakePrintJobs final : public PrintJobs {
public:
    QMap<int, JobLook> jobs;
    QList<int> cancelled;
    bool cancelWorks = true;
    int looks = 0;
    JobLook look(int jobId, int) override
    {
        ++looks;
        JobLook look;
        look.outcome = JobLook::Outcome::NotFound;
        return jobs.value(jobId, look);
    }
    bool cancel(int jobId, int) override
    {
        cancelled << jobId;
        if (cancelWorks && jobs.contains(jobId)) {
            jobs[jobId].state = 7;
            jobs[jobId].printerMessage.clear();
            jobs[jobId].printerReasons.clear();
        }
        return cancelWorks;
    }
    // A job waiting at the printer with the given message and printer reasons.
    static JobLook state(int ippState, const QString &message = QString(), const QStringList &printerReasons = {})
    {
        JobLook look;
        look.outcome = JobLook::Outcome::Answered;
        look.state = ippState;
        look.printerMessage = message;
        look.printerReasons = printerReasons;
        return look;
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
    FakePrintJobs *printJobs = new FakePrintJobs;
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
        s.printJobs.reset(printJobs);
        s.fileDialog.reset(fileDialog);
        s.messages.reset(messages);
        s.processes.reset(processes);
        s.serialPortDevice = serialPortDevice;
        s.converterPath = converterPath;
        return s;
    }
};
