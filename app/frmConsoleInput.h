#pragma once
// Typing and pasting commands into the console window. The view shows
// ConsoleText followed by PendingInput; input only ever changes the end.
class frmConsole;

// Routes the console view's keys and mouse presses to the input line.
void InstallConsoleInput(frmConsole& console);

// Appends the clipboard's text to PendingInput (Ctrl+V, middle button).
void PasteConsole();
