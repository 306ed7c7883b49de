#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

class QCloseEvent;
class QKeyEvent;

namespace widgets {

// A window of its own: no owner, closed means unloaded. Closing it (its own `unload`, or the
// title bar) hides it and deletes it, so its controls go back to their design state with the next
// instance. A subclass builds its controls in its constructor, in their design state, and puts
// what changes per load in `onLoad`.
class Form : public QWidget {
    Q_OBJECT
public:
    explicit Form(Qt::WindowFlags flags = Qt::Window);
    ~Form() override;

    // Runs `onLoad` once; FormHolder calls it before the first show.
    void load();
    // Closes the window and drops it. Safe to call more than once.
    void unload();
    bool isUnloaded() const { return unloaded_; }

    // With key preview on, `onKeyPress` sees every character key typed into the window before
    // the focused control does.
    void setKeyPreview(bool on);
    bool keyPreview() const { return keyPreview_; }

    // The character code a key press produces, or 0 for keys that produce none (Shift, Ctrl,
    // arrows, function keys, Delete) and for Tab, which moves the focus instead.
    static int keyAscii(const QKeyEvent& event);

protected:
    virtual void onLoad() {}
    // Setting KeyAscii to 0 keeps the key from the focused control.
    virtual void onKeyPress(int& KeyAscii) { (void)KeyAscii; }

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
    T* get() const { return form_ && !form_->isUnloaded() ? form_.data() : nullptr; }

    // The loaded window, loading a new one when there is none.
    T* load() {
        if (T* form = get()) {
            return form;
        }
        form_ = make_();
        form_->load();
        return form_.data();
    }

    // Shows the window modeless, or brings the open one to the front.
    T* show() {
        T* form = load();
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

    void unload() {
        if (T* form = get()) {
            form->unload();
        }
    }

private:
    Factory make_;
    QPointer<T> form_;
};

}  // namespace widgets
