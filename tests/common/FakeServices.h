#pragma once

// Fakes of the services the windows get, for offscreen tests: prompts that answer from a
// script and record what they showed, a shell that records instead of acting.
#include "ui/Services.h"

#include <QList>
#include <QStringList>

#include <functional>
#include <optional>

namespace tovilo::test {

class FakePrompt : public PromptService
{
public:
    QStringList informations;
    QStringList questions;
    QList<bool> answers;        // consumed in order; when empty, defaultAnswer
    bool defaultAnswer = true;
    // Runs while a box is "open", as a user would act while the box is shown.
    std::function<void(const QString&)> onInformation;

    void information(QWidget*, const QString& text) override
    {
        informations.append(text);
        if (onInformation)
            onInformation(text);
    }
    bool confirm(QWidget*, const QString& text) override
    {
        questions.append(text);
        return answers.isEmpty() ? defaultAnswer : answers.takeFirst();
    }
};

class FakeShell : public ShellService
{
public:
    QByteArray documents;
    std::optional<QString> nextVideoFile;
    std::optional<QString> nextFolder;
    QStringList openedFolders;
    QStringList chooserFolders; // the initial folder of every open dialog
    int activations = 0;

    QByteArray documentsFolder() override { return documents; }
    std::optional<QString> chooseVideoFile(QWidget*, const QString& initialFolder) override
    {
        chooserFolders.append(initialFolder);
        return nextVideoFile;
    }
    std::optional<QString> browseForFolder(QWidget*, const QString&) override { return nextFolder; }
    void openFolder(const QString& path) override { openedFolders.append(path); }
    void restoreAndActivate(QWidget*) override { ++activations; }
};

} // namespace tovilo::test
