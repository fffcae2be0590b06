// Front ends of the status window: the text view and the Qt window.
