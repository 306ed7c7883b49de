#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

class QCloseEvent;
class QKeyEvent;

namespace platform {

// A window of its own: no owner, closed means unloaded. Closing it (its own `Unload`, or the
// title bar) hides it and deletes it, so its controls go back to their design state with the next
// instance. A subclass builds its controls in its constructor, in their design state, and puts
// what changes per load in `Form_Load`.
class Form : public QWidget {
    Q_OBJECT
public:
    explicit Form(Qt::WindowFlags flags = Qt::Window);
    ~Form() override;

    // Runs `Form_Load` once; FormHolder calls it before the first show.
    void Load();
    // Closes the window and drops it. Safe to call more than once.
    void Unload();
    bool IsUnloaded() const { return unloaded_; }

    // With key preview on, `Form_KeyPress` sees every character key typed into the window before
    // the focused control does.
    void SetKeyPreview(bool on);
    bool KeyPreview() const { return keyPreview_; }

    // The character code a key press produces, or 0 for keys that produce none (Shift, Ctrl,
    // arrows, function keys, Delete) and for Tab, which moves the focus instead.
    static int KeyAscii(const QKeyEvent& event);

protected:
    virtual void Form_Load() {}
    // Setting KeyAscii to 0 keeps the key from the focused control.
    virtual void Form_KeyPress(int& KeyAscii) { (void)KeyAscii; }

    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool loaded_ = false;
    bool unloaded_ = false;
    bool keyPreview_ = false;
    bool forwarding_ = false;
};

// The one instance of a window class, as the main window keeps it: created and loaded on first
// use, kept while it is open, created and loaded afresh after it has unloaded itself.
template <class T>
class FormHolder {
public:
    using Factory = std::function<T*()>;

    explicit FormHolder(Factory make = [] { return new T; }) : make_(std::move(make)) {}
    ~FormHolder() { delete form_.data(); }
    FormHolder(const FormHolder&) = delete;
    FormHolder& operator=(const FormHolder&) = delete;

    // The loaded window, or nullptr.
    T* Get() const { return form_ && !form_->IsUnloaded() ? form_.data() : nullptr; }

    // The loaded window, loading a new one when there is none.
    T* Load() {
        if (T* form = Get()) {
            return form;
        }
        form_ = make_();
        form_->Load();
        return form_.data();
    }

    // Shows the window modeless, or brings the open one to the front.
    T* Show() {
        T* form = Load();
        const bool open = form->isVisible();
        if (form->isMinimized()) {
            form->showNormal();
        } else {
            form->show();
        }
        if (open) {
            form->raise();  // a new window opens on top anyway
        }
        form->activateWindow();
        return form;
    }

    void Unload() {
        if (T* form = Get()) {
            form->Unload();
        }
    }

private:
    Factory make_;
    QPointer<T> form_;
};

}  // namespace platform
