/* Stands in for the game as a real Win32 program, run under Wine (or on Windows): a
 * top-level window of class "GAME" with the title given (default "Korvun"). Prints "ready"
 * once the window is shown, then runs until it is closed or killed.
 * Started by an updater under test with KORVUN_GAME_ARGUMENTS naming a file, it only writes
 * its arguments there, one line separated by spaces, and ends: nothing is left running. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static int RecordArguments(const char* path, int argc, char** argv) {
    FILE* file = fopen(path, "w");
    if (!file) return 1;
    for (int i = 1; i < argc; ++i) fprintf(file, i > 1 ? " %s" : "%s", argv[i]);
    fprintf(file, "\n");
    return fclose(file) == 0 ? 0 : 1;
}

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int main(int argc, char** argv) {
    const char* record = getenv("KORVUN_GAME_ARGUMENTS");
    if (record && *record) return RecordArguments(record, argc, argv);
    const char* title = argc > 1 ? argv[1] : "Korvun";
    WNDCLASSA windowClass = {0};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "GAME";
    if (!RegisterClassA(&windowClass)) return 1;
    HWND window = CreateWindowA("GAME", title, WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, NULL, NULL,
                                windowClass.hInstance, NULL);
    if (!window) return 1;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    printf("ready\n");
    fflush(stdout);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
