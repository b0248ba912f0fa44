// The assistant's running programs: the main program and the tray pop-up program. An update makes them
// quit before their files are replaced and starts them again afterwards; a silent update also tells the
// pop-up program through its command pipe what is going on.
//
// Both programs follow the convention of the Downloader itself: started with "-t" (or " -t") an
// instance makes the running instance of its program quit and then ends.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The pop-up program's command pipe: four fixed texts, the last two being the alliance code and the
// bank id's digits of this build (fixed here, not taken from the configuration).
constexpr const char* kPopupPipePath = "\\\\.\\pipe\\NOVRA_PopNOVRA861";
// Head of every command message and of its answer events' names.
constexpr const char* kPopupMessageHead = "NOVRA_Pop";
// The command of a silent update.
constexpr const char* kPopupUpdateCommand = "UpdatePopCmd";

// How long StopRunningAssistant waits for each "-t" process to end. The "-t" program normally ends as
// soon as the running instance has quit; one that hangs is ended after this time instead of holding up
// the installation for ever.
constexpr std::uint32_t kAssistantQuitWaitMs = 20000;

// The message written to the pipe: "NOVRA_Pop" + command + "||" + parameter, without a terminating zero.
std::string PopupCommandMessage(const std::string& command, const std::string& parameter);
// The answer events' names: "Global\" + "NOVRA_Pop" + command + alliance code + "_Yes" / "_No".
std::string PopupAnswerEventName(const std::string& command, bool yes);

// Writes one command to the pop-up program. When its pipe cannot be opened (the program does not run)
// the result is acceptMissing. Without wait: true when the whole message was written. With wait: then
// creates the "_No" and the "_Yes" event (auto-reset, not signalled; existing ones are opened) and waits
// up to timeoutMs for either; true only when "_Yes" ended the wait.
bool SendPopupCommand(const std::string& command, const std::string& parameter, bool acceptMissing, bool wait,
                      std::uint32_t timeoutMs);

// When the progress dialog opens. Only in a silent update (run mode ModeUpdate with update type 2):
// hides the dialog through hideDialog, starts the main program with "-t" when it exists, sends
// "UpdatePopCmd" to the pop-up program without waiting, then pauses 3 seconds. Always true.
bool NotifyPopupProgram(int runMode, std::int32_t updateType, const std::string& installDir,
                        const std::function<void()>& hideDialog);

// Before the downloaded files replace the installed ones: makes sure installDir + "\DownLoad\" is a
// folder (false when it cannot be created); runs the main program with " -t", hidden, and waits for it
// (at most quitWaitMs; a "-t" process still running then is ended), ends the first process of the main
// program's image name; the same for the pop-up program "QuillonPop_%x.exe" of the bank id; pauses 2
// seconds. True otherwise. Programs missing on disk are skipped.
bool StopRunningAssistant(const std::string& installDir, std::uint32_t quitWaitMs = kAssistantQuitWaitMs);

// The last step of a successful run: when installDir + "\QuillonPop.exe" exists, starts it with "-t",
// pauses 500 ms and starts it again without parameters; then the same for the main program.
void StartPopupProgram(const std::string& installDir);
