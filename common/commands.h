// Identifiers of the commands the user-interface thread handles.
#pragma once

inline constexpr int kFlushButtonId = 7;          // "Сброс буферов"
inline constexpr int kStopCommandId = 102;        // the recorder's stop: write, log STOP, quit
inline constexpr int kActivateCommandId = 40001;  // show the status view
inline constexpr int kStopMenuCommandId = 40002;  // "Завершить работу", also SIGINT and SIGTERM
