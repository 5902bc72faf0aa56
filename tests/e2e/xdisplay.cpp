#include "xdisplay.h"

#include <QProcess>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename Reply> using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

// Takes the reply of a request; an error (a window that went away meanwhile)
// gives an empty pointer instead of landing in the event queue.
template <typename Reply, typename Cookie>
ReplyPtr<Reply> take(xcb_connection_t* connection, Cookie cookie,
                     Reply* (*replyOf)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
    xcb_generic_error_t* error = nullptr;
    ReplyPtr<Reply> reply(replyOf(connection, cookie, &error));
    std::free(error);
    return reply;
}

QByteArray propertyBytes(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr) {
        return {};
    }
    const auto* data = static_cast<const char*>(
        xcb_get_property_value(const_cast<xcb_get_property_reply_t*>(reply)));
    const int bytes = xcb_get_property_value_length(reply);
    return QByteArray(data, bytes);
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* connection, xcb_window_t window,
                                      xcb_atom_t property, xcb_atom_t type) {
    return xcb_get_property(connection, 0, window, property, type, 0, 1024);
}

constexpr int XdotoolTimeoutMs = 20000;

} // namespace

XDisplay::XDisplay() {
    const QByteArray name = qgetenv("DISPLAY");
    if (name.isEmpty()) {
        error_ = QStringLiteral("DISPLAY is not set: the end-to-end tests need an X display "
                                "(run them under xvfb-run, as scripts/test does)");
        return;
    }
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(name.constData(), &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        error_ = QStringLiteral("cannot connect to the X display \"%1\"")
                     .arg(QString::fromLocal8Bit(name));
        return;
    }
    const xcb_setup_t* setup = xcb_get_setup(connection);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    const xcb_screen_t* screen = screens.data;

    // Pictures are read as 32-bit pixels, blue in the lowest byte: what a
    // 24-bit display such as Xvfb's gives.
    bool thirtyTwoBitPixels = false;
    const xcb_format_t* formats = xcb_setup_pixmap_formats(setup);
    for (int i = 0; i < xcb_setup_pixmap_formats_length(setup); ++i) {
        if (formats[i].depth == screen->root_depth && formats[i].bits_per_pixel == 32) {
            thirtyTwoBitPixels = true;
        }
    }
    if (screen->root_depth != 24 || !thirtyTwoBitPixels ||
        setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        xcb_disconnect(connection);
        error_ = QStringLiteral("the X display must have 24-bit colour in 32-bit pixels "
                                "(xvfb-run -s \"-screen 0 1280x1024x24\")");
        return;
    }
    connection_ = connection;
    root_ = screen->root;
    screenSize_ = QSize(screen->width_in_pixels, screen->height_in_pixels);
}

XDisplay::~XDisplay() {
    if (connection_ != nullptr) {
        xcb_disconnect(connection_);
    }
}

std::uint32_t XDisplay::atom(const char* name) const {
    const auto reply =
        take(connection_,
             xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
             xcb_intern_atom_reply);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

QList<XDisplay::Window> XDisplay::viewableWindows() const {
    QList<Window> windows;
    if (connection_ == nullptr) {
        return windows;
    }
    const auto tree = take(connection_, xcb_query_tree(connection_, root_), xcb_query_tree_reply);
    if (!tree) {
        return windows;
    }
    const xcb_atom_t pidAtom = atom("_NET_WM_PID");
    const xcb_atom_t nameAtom = atom("_NET_WM_NAME");
    const xcb_atom_t utf8Atom = atom("UTF8_STRING");

    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    for (int i = 0; i < count; ++i) {
        const xcb_window_t id = children[i];
        // All requests first, then the replies: one round trip per window.
        const auto attributesCookie = xcb_get_window_attributes(connection_, id);
        const auto geometryCookie = xcb_get_geometry(connection_, id);
        const auto pidCookie = askProperty(connection_, id, pidAtom, XCB_ATOM_CARDINAL);
        const auto netNameCookie = askProperty(connection_, id, nameAtom, utf8Atom);
        const auto nameCookie = askProperty(connection_, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);

        const auto attributes =
            take(connection_, attributesCookie, xcb_get_window_attributes_reply);
        const auto geometry = take(connection_, geometryCookie, xcb_get_geometry_reply);
        const auto pid = take(connection_, pidCookie, xcb_get_property_reply);
        const auto netName = take(connection_, netNameCookie, xcb_get_property_reply);
        const auto plainName = take(connection_, nameCookie, xcb_get_property_reply);
        if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
            continue;
        }

        Window window;
        window.id = id;
        window.geometry =
            QRect(geometry->x + geometry->border_width, geometry->y + geometry->border_width,
                  geometry->width, geometry->height);
        window.overrideRedirect = attributes->override_redirect != 0;
        const QByteArray pidBytes = propertyBytes(pid.get());
        if (pidBytes.size() >= 4) {
            std::uint32_t value = 0;
            std::memcpy(&value, pidBytes.constData(), sizeof value);
            window.pid = value;
        }
        const QByteArray netNameBytes = propertyBytes(netName.get());
        window.title = netNameBytes.isEmpty() ? QString::fromLatin1(propertyBytes(plainName.get()))
                                              : QString::fromUtf8(netNameBytes);
        windows.append(window);
    }
    return windows;
}

bool XDisplay::exists(std::uint32_t window) const {
    return connection_ != nullptr &&
           take(connection_, xcb_get_window_attributes(connection_, window),
                xcb_get_window_attributes_reply) != nullptr;
}

bool XDisplay::acceptsDeleteRequest(std::uint32_t window) const {
    if (connection_ == nullptr) {
        return false;
    }
    const xcb_atom_t deleteAtom = atom("WM_DELETE_WINDOW");
    const auto protocols =
        take(connection_, askProperty(connection_, window, atom("WM_PROTOCOLS"), XCB_ATOM_ATOM),
             xcb_get_property_reply);
    const QByteArray bytes = propertyBytes(protocols.get());
    for (qsizetype at = 0; at + 4 <= bytes.size(); at += 4) {
        xcb_atom_t value = 0;
        std::memcpy(&value, bytes.constData() + at, sizeof value);
        if (value == deleteAtom) {
            return true;
        }
    }
    return false;
}

void XDisplay::requestClose(std::uint32_t window) const {
    if (connection_ == nullptr) {
        return;
    }
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(connection_);
}

QImage XDisplay::grab(const QRect& area) const {
    const QRect clipped = area.intersected(QRect(QPoint(0, 0), screenSize_));
    if (connection_ == nullptr || clipped.isEmpty()) {
        return {};
    }
    const auto image = take(connection_,
                            xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_,
                                          static_cast<std::int16_t>(clipped.x()),
                                          static_cast<std::int16_t>(clipped.y()),
                                          static_cast<std::uint16_t>(clipped.width()),
                                          static_cast<std::uint16_t>(clipped.height()), ~0U),
                            xcb_get_image_reply);
    if (!image) {
        return {};
    }
    const qsizetype stride = qsizetype(clipped.width()) * 4;
    if (xcb_get_image_data_length(image.get()) < stride * clipped.height()) {
        return {};
    }
    return QImage(xcb_get_image_data(image.get()), clipped.width(), clipped.height(), stride,
                  QImage::Format_RGB32)
        .copy();
}

bool XDisplay::click(QPoint at) {
    return xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                    QStringLiteral("click"), QStringLiteral("1")});
}

bool XDisplay::clickWithoutPause(QPoint at) {
    return xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                    QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("mouseup"),
                    QStringLiteral("1")});
}

bool XDisplay::drag(QPoint from, QPoint to) {
    return xdotool({QStringLiteral("mousemove"), QString::number(from.x()),
                    QString::number(from.y()), QStringLiteral("mousedown"), QStringLiteral("1"),
                    QStringLiteral("mousemove"), QString::number(to.x()), QString::number(to.y()),
                    QStringLiteral("mouseup"), QStringLiteral("1")});
}

bool XDisplay::movePointer(QPoint to) {
    return xdotool({QStringLiteral("mousemove"), QString::number(to.x()), QString::number(to.y())});
}

bool XDisplay::typeText(const QString& text, int delayMs) {
    return xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QString::number(delayMs),
                    QStringLiteral("--"), text});
}

bool XDisplay::pressKeys(const QString& keys) {
    return xdotool({QStringLiteral("key"), keys});
}

bool XDisplay::xdotool(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(XdotoolTimeoutMs)) {
        inputError_ = QStringLiteral("xdotool %1: %2")
                          .arg(arguments.join(QLatin1Char(' ')), process.errorString());
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        inputError_ = QStringLiteral("xdotool %1 failed: %2")
                          .arg(arguments.join(QLatin1Char(' ')),
                               QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}
