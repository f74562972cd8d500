// The whole public interface of postwing.
#pragma once

#include "postwing/attachments.hpp"
#include "postwing/body.hpp"
#include "postwing/connection.hpp"
#include "postwing/errors.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/events.hpp"
#include "postwing/exception.hpp"
#include "postwing/header.hpp"
#include "postwing/send_mail.hpp"
#include "postwing/tcp_client.hpp"
#include "postwing/types.hpp"
#include "postwing/utilities.hpp"
