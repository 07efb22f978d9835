#include "ui/MainWindow.h"

#include "common/Constants.h"

namespace qtx {

void ShowLink(MainWindow& view, state::LinkState link) {
    view.ShowLinkState(link);
    switch (link) {
        case state::LinkState::ServerNotConnected:
            ShowCaptionAndIcon(view, constants::CaptionServerNotConnected,
                               constants::IconNotConnected);
            break;
        case state::LinkState::SwitcherNotConnected:
            ShowCaptionAndIcon(view, constants::CaptionSwitcherNotConnected,
                               constants::IconNotConnected);
            break;
        case state::LinkState::SwitcherConnected:
            ShowCaptionAndIcon(view, constants::CaptionSwitcherConnected, constants::IconConnected);
            break;
    }
}

}  // namespace qtx
