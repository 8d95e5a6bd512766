// rynpanel: a window for the ryn delayed-auditory-feedback component, for
// people who practise with it and for their therapists.

#include <windows.h>
#include <commctrl.h>

#include "host/ComApartment.h"
#include "host/panel/PanelWindow.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  ComApartment apartment;
  if (FAILED(apartment.Result())) return 1;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  PanelWindow panel;
  if (!panel.Create(instance)) return 1;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (panel.PreTranslate(message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
