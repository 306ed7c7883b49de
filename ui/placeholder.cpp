// The windows arrive with the main window.
