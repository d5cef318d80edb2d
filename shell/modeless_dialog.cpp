#include "shell/modeless_dialog.h"

#include "shell/shell_state.h"

namespace kestrel {
namespace {

INT_PTR CALLBACK modelessDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* dialog = reinterpret_cast<ModelessDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<ModelessDialog*>(lParam)->initialise(window);
        return TRUE;
    case WM_DESTROY:
        if (dialog != nullptr && dialog->window == window)
            dialog->window = nullptr;
        return FALSE;
    case WM_COMMAND:
        if (dialog == nullptr)
            return FALSE;
        if (LOWORD(wParam) == IDOK)
            dialog->accept(window);
        else if (LOWORD(wParam) == IDCANCEL)
            DestroyWindow(window);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void openModelessDialog(ModelessDialog& dialog) {
    if (dialog.window != nullptr) {
        SetForegroundWindow(dialog.window);
        return;
    }
    dialog.window = CreateDialogParamW(Instance, MAKEINTRESOURCEW(dialog.templateId), MainWindow, modelessDialogProc,
                                       reinterpret_cast<LPARAM>(&dialog));
    if (dialog.window != nullptr)
        ShowWindow(dialog.window, SW_SHOW);
}

} // namespace kestrel
