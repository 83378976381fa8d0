#pragma once
// The skinned windows have no caption: a press in their top band, outside the buttons there,
// moves the window as a caption would.
#include <initializer_list>

#include "Varlo/ui/UiTypes.h"

// For WM_LBUTTONDOWN at the position (client coordinates): starts the move when the press lies
// above bandHeight and in none of the buttons.
void DragInBand(HWND window, LPARAM position, int bandHeight,
                std::initializer_list<const RECT*> buttons);
